; main.asm - says hello, through macros from an include
include lib\macros.inc

	.code
start:
	Say	greeting
	invoke	ExitProcess, 0
end	start

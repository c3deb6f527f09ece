; other.asm - says goodbye
include defs.inc
include macros.inc

	.code
start:
	Say	farewell
	invoke	ExitProcess, 0
end	start

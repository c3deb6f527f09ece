; main.asm - says hello
include defs.inc
include lib\console.inc

	.code
start:
	invoke	WriteLine, ADDR greeting
	invoke	ExitProcess, 0
end	start

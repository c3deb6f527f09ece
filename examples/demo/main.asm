; main.asm - writes a greeting to the console and exits
	.386
	.model	flat, stdcall
	option	casemap:none

include examples\demo\win32.inc
.include "examples\demo\macros.inc"
includelib kernel32.lib

	.data
    #include( "examples\demo\strings.inc" )

	.code
start:
	invoke	GetStdHandle, STD_OUTPUT_HANDLE
	mov	hOut, eax
	Print	greeting, greetingLength
	invoke	ExitProcess, 0
end	start

// The process entry of the tarvel command.

#include "app/startup.hpp"
#include "runtime/process_entry.hpp"

int main(int argc, char** argv) { tarvel::runProcess(argc, argv, tarvel::mainProgram); }

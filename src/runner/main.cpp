#include "runner/agent.h"

int main(int argc, char** argv) { return run_agent(argc, argv); }

#include "runner/agent.h"

int main(int argc, char** argv) { return kro::runner::run_agent(argc, argv); }

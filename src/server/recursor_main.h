// The program's entry point: command line, configuration, server start-up and orderly teardown.
#pragma once

namespace recursor {

int recursorMain(int argc, char** argv, char** envp);

} // namespace recursor

#include "server/recursor_main.h"

#include "server/version.h"

#include <cstdio>
#include <string>

namespace recursor {

int recursorMain(int, char**, char**)
{
    std::printf("%s %s\n", std::string(program_name).c_str(), std::string(program_version).c_str());
    return 0;
}

} // namespace recursor

#include "resolver/resolve_error.h"

namespace recursor {

std::string describe(const ResolveFailure& failure)
{
    std::string text = "error." + std::string(errorName(failure.kind));
    if (!failure.zone.isEmpty())
        text += " zone " + failure.zone.toText();
    if (failure.server)
        text += " server " + failure.server->toString();
    return text;
}

} // namespace recursor

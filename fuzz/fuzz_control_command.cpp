// Reads arbitrary bytes as a line on the control socket, cut where the server cuts it (at the first
// newline, within its 4096-byte buffer), and dispatches it to a handler that parses the arguments as
// the server's commands do (TRACE <name> <type>, FLUSH <name>). The handler must see a command and at
// most 64 arguments, each a non-empty word of the line without a space, in order; the reply must be the
// handler's or an "ERROR: " line; every name and type the handler parses must read back the same from
// its presentation text.
#include "ops/control_socket.h"
#include "wire/name.h"
#include "wire/type_names.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

using recursor::ControlSocket;
using recursor::DnsName;
using recursor::OpsResult;

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "fuzz_control_command: %s\n", what);
    std::abort();
}

bool isWordOf(std::string_view word, std::string_view line)
{
    return !word.empty() && word.find(' ') == std::string_view::npos && word.data() >= line.data()
        && word.data() + word.size() <= line.data() + line.size();
}

void expectNameReadsBack(std::string_view text)
{
    const auto name = DnsName::fromText(text);
    if (!name)
        return;
    const std::string presented = name->toText();
    const auto again = DnsName::fromText(presented);
    if (!again
        || !std::equal(again->wireBytes().begin(), again->wireBytes().end(), name->wireBytes().begin(),
            name->wireBytes().end()))
        fail("a name does not read back from its presentation text");
}

void expectTypeReadsBack(std::string_view text)
{
    const auto type = recursor::typeFromText(text);
    if (type && recursor::typeFromText(recursor::typeName(*type)) != type)
        fail("a type does not read back from its name");
}

struct Seen {
    std::string_view line;
    bool called { false };
    std::string reply;
};

OpsResult<std::string> handle(Seen& seen, std::string_view command, std::span<const std::string_view> args)
{
    if (seen.called)
        fail("the handler ran twice for one line");
    seen.called = true;
    if (!isWordOf(command, seen.line) || args.size() > ControlSocket::max_arguments)
        fail("the command is not a word of the line, or too many arguments");
    const char* previous_end = command.data() + command.size();
    for (const std::string_view arg : args) {
        if (!isWordOf(arg, seen.line) || arg.data() <= previous_end)
            fail("an argument is not a word of the line after the one before");
        previous_end = arg.data() + arg.size();
    }
    if ((command == "TRACE" || command == "FLUSH") && !args.empty())
        expectNameReadsBack(args[0]);
    if (command == "TRACE" && args.size() > 1)
        expectTypeReadsBack(args[1]);
    seen.reply = "OK " + std::to_string(args.size());
    return seen.reply;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view received(
        reinterpret_cast<const char*>(data), std::min(size, ControlSocket::command_buffer_size));
    Seen seen { .line = received.substr(0, received.find('\n')) };
    const ControlSocket socket("/nonexistent/fuzz.sock",
        [&seen](std::string_view command, std::span<const std::string_view> args) {
            return handle(seen, command, args);
        },
        {});
    const std::string reply = socket.dispatchCommand(seen.line);
    if (seen.called ? reply != seen.reply : !reply.starts_with("ERROR: "))
        fail("the reply is neither the handler's nor an error");
    if (reply.find('\n') != std::string::npos)
        fail("the reply spans lines");
    return 0;
}

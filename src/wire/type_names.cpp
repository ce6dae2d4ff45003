#include "wire/type_names.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <utility>

namespace recursor {

namespace {

    constexpr std::array<std::pair<QType, std::string_view>, 24> type_names { {
        { QType::a, "A" },
        { QType::ns, "NS" },
        { QType::cname, "CNAME" },
        { QType::soa, "SOA" },
        { QType::ptr, "PTR" },
        { QType::mx, "MX" },
        { QType::txt, "TXT" },
        { QType::aaaa, "AAAA" },
        { QType::srv, "SRV" },
        { QType::naptr, "NAPTR" },
        { QType::dname, "DNAME" },
        { QType::ds, "DS" },
        { QType::sshfp, "SSHFP" },
        { QType::rrsig, "RRSIG" },
        { QType::nsec, "NSEC" },
        { QType::dnskey, "DNSKEY" },
        { QType::nsec3, "NSEC3" },
        { QType::nsec3param, "NSEC3PARAM" },
        { QType::tlsa, "TLSA" },
        { QType::svcb, "SVCB" },
        { QType::https, "HTTPS" },
        { QType::any, "ANY" },
        { QType::caa, "CAA" },
        { QType::cds, "CDS" },
    } };

    bool equalIgnoringCase(std::string_view a, std::string_view b)
    {
        return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
            return (x >= 'a' && x <= 'z' ? x - 32 : x) == (y >= 'a' && y <= 'z' ? y - 32 : y);
        });
    }

} // namespace

std::string typeName(QType type)
{
    for (const auto& [code, name] : type_names) {
        if (code == type)
            return std::string(name);
    }
    return "TYPE" + std::to_string(toU16(type));
}

std::string rcodeName(std::uint16_t rcode)
{
    constexpr std::array<std::string_view, 11> rcode_names { "NOERROR", "FORMERR", "SERVFAIL", "NXDOMAIN",
        "NOTIMP", "REFUSED", "YXDOMAIN", "YXRRSET", "NXRRSET", "NOTAUTH", "NOTZONE" };
    return rcode < rcode_names.size() ? std::string(rcode_names[rcode]) : "RCODE" + std::to_string(rcode);
}

std::optional<QType> typeFromText(std::string_view text)
{
    for (const auto& [code, name] : type_names) {
        if (equalIgnoringCase(text, name))
            return code;
    }
    if (text.size() > 4 && equalIgnoringCase(text.substr(0, 4), "TYPE"))
        text.remove_prefix(4);
    std::uint16_t number = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (text.empty() || ec != std::errc {} || end != text.data() + text.size())
        return std::nullopt;
    return static_cast<QType>(number);
}

} // namespace recursor

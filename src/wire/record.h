// The message parser: one strict pass over a packet into a DnsMessage (RFC 1035 §4.1).
// Zero-copy: a DnsMessage owns only its record array; names are values and every byte field of an
// RData is a view into the packet, which the holder keeps alive and unchanged beside the message.
#pragma once

#include "wire/constants.h"
#include "wire/header.h"
#include "wire/name.h"
#include "wire/rdata.h"

#include <span>
#include <vector>

namespace recursor {

struct DnsRecord {
    RData rdata;
    std::uint32_t ttl { 0 };
    QType rtype {};
    QClass rclass {};
    DnsName name;
    Section section { Section::answer };
};

struct DnsMessage {
    // Parses `packet`: at most one question, every announced record present, each record's data
    // consistent with its RDATA length, nothing after the last record. No partial result on error.
    static WireResult<DnsMessage> parse(std::span<const std::uint8_t> packet);

    std::vector<DnsRecord> records; // answer, then authority, then additional, in packet order
    QType question_type { QType::a };
    QClass question_class { QClass::in };
    Header header;
    DnsName question_name; // empty when the message has no question
};

} // namespace recursor

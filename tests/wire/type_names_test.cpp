// Type mnemonics both ways, and the RFC 3597 form for the rest.
#include "wire/type_names.h"

#include <gtest/gtest.h>

namespace recursor {
namespace {

    TEST(TypeNames, ReadsMnemonicsInAnyCaseAndGenericFormsAndRejectsTheRest)
    {
        struct Case {
            const char* text;
            std::optional<QType> type;
        };
        for (const Case c :
            { Case { "AAAA", QType::aaaa }, Case { "dnskey", QType::dnskey }, Case { "Https", QType::https },
                Case { "TYPE65280", static_cast<QType>(65280) }, Case { "type1", QType::a },
                Case { "28", QType::aaaa }, Case { "TYPE", std::nullopt }, Case { "TYPE65536", std::nullopt },
                Case { "AAAAA", std::nullopt }, Case { "", std::nullopt }, Case { "-1", std::nullopt } }) {
            SCOPED_TRACE(c.text);
            EXPECT_EQ(typeFromText(c.text), c.type);
        }
        EXPECT_EQ(typeName(QType::nsec3), "NSEC3");
        EXPECT_EQ(typeName(static_cast<QType>(65280)), "TYPE65280");
    }

} // namespace
} // namespace recursor

#include "dnssec/keytag.h"
#include "dnssec/trust_anchor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace recursor::dnssec {
namespace {

    constexpr std::string_view ksk_2017_groups
        = "AwEAAaz/tAm8yTn4Mfeh5eyI96WSVexTBAvkMgJzkKTOiW1vkIbzxeF3+/4RgWOq7HrxRixHlFlExOLAJr5emLvN7SWXgnLh4+B5xQlNVz8Og8k"
          "vArMtNROxVQuCaSnIDdD5LKyWbRd2n9WGe2R8PzgCmr3EgVLrjyBxWezF0jLHwVN8efS3rCj/EWgvIWgb9tarpVUDK/b58Da+sqqls3eNbuv7"
          "pr+eoZG+SrDK6nWeL3c6H5Apxz7LjVc1uTIdsIXxuOLYA4/ilBmSVIzuDWfdRUfhHdY6+cn8HFRm+2hM8AnXGXws9555KrUB5qihylGa8sub"
          "X2Nn6UwNR1AkUTV74bU=";
    constexpr std::string_view ds_2017
        = "E06D44B80B8F1D39A95C0B0D7C65D08458E880409BBC683457104237C7F8EC8D";

    std::vector<std::uint16_t> keytags(const TrustAnchorStore& store)
    {
        std::vector<std::uint16_t> tags;
        for (const auto& key : store.rootKeys())
            tags.push_back(computeKeytag(key.view()));
        return tags;
    }

    TEST(TrustAnchorStore, BuiltInHoldsBothRootKeySigningKeys)
    {
        EXPECT_EQ(keytags(TrustAnchorStore::builtIn()), (std::vector<std::uint16_t> { 20326, 38696 }));
    }

    TEST(TrustAnchorStore, ReadsMasterFileForms)
    {
        const std::string key(ksk_2017_groups);
        const std::string split_key = key.substr(0, 100) + " " + key.substr(100, 150) + "\t" + key.substr(250);
        struct Case {
            std::string text;
            std::size_t keys;
            std::size_t ds;
        };
        const std::vector<Case> cases {
            { ". IN DNSKEY 257 3 8 " + key + " ; keytag 20326\n", 1, 0 },
            { "; written by a key generator\n.\t172800\tIN DNSKEY 257 3 8 " + split_key + "\n", 1, 0 },
            { "$TTL 3600\n. DNSKEY 257 3 8 (\n  " + key.substr(0, 200) + "\n  " + key.substr(200) + " )\n", 1, 0 },
            { ". IN DS 20326 8 2 " + std::string(ds_2017) + "\n. 3600 IN DS 20326 8 2 "
                    + std::string(ds_2017.substr(0, 32)) + " " + std::string(ds_2017.substr(32)) + "\n",
                0, 2 },
            { "example. IN DS 20326 8 2 " + std::string(ds_2017) + "\n. IN A 192.0.2.1\n. IN DS 20326 8 2 "
                    + std::string(ds_2017) + "\n",
                0, 1 },
        };
        for (const Case& c : cases) {
            auto store = TrustAnchorStore::parse(c.text);
            ASSERT_TRUE(store.has_value()) << c.text << errorName(store.error());
            EXPECT_EQ(store->rootKeys().size(), c.keys) << c.text;
            EXPECT_EQ(store->rootDs().size(), c.ds) << c.text;
            if (c.keys != 0) {
                EXPECT_EQ(keytags(*store), std::vector<std::uint16_t> { 20326 }) << c.text;
            }
        }
    }

    TEST(TrustAnchorStore, RefusesFilesWithoutAUsableRootRecord)
    {
        const std::string key(ksk_2017_groups);
        const std::string ds(ds_2017);
        const std::vector<std::pair<std::string, TrustAnchorError>> cases {
            { "", TrustAnchorError::NoUsableAnchor },
            { "example. IN DNSKEY 257 3 8 " + key + "\n", TrustAnchorError::NoUsableAnchor },
            { ". IN DNSKEY 257 3 5 " + key + "\n", TrustAnchorError::NoUsableAnchor }, // RSA/SHA-1
            { ". IN DNSKEY 385 3 8 " + key + "\n", TrustAnchorError::NoUsableAnchor }, // revoked
            { ". IN DNSKEY 1 3 8 " + key + "\n", TrustAnchorError::NoUsableAnchor }, // no zone key
            { ". IN DS 20326 8 3 " + ds + "\n", TrustAnchorError::NoUsableAnchor }, // GOST
            { ". IN DS 20326 8 2 " + ds.substr(2) + "\n", TrustAnchorError::NoUsableAnchor }, // short digest
            { ". IN DS 20326 8 2 " + ds.substr(1) + "\n", TrustAnchorError::MalformedAnchor }, // odd hex
            { ". IN DS 20326 8 2 XY" + ds.substr(2) + "\n", TrustAnchorError::MalformedAnchor },
            { ". IN DS 70000 8 2 " + ds + "\n", TrustAnchorError::MalformedAnchor },
            { ". IN DNSKEY 257 3 8 " + key.substr(1) + "\n", TrustAnchorError::MalformedAnchor },
            { ". IN DNSKEY 257 3 8\n", TrustAnchorError::MalformedAnchor },
        };
        for (const auto& [text, error] : cases) {
            auto store = TrustAnchorStore::parse(text);
            ASSERT_FALSE(store.has_value()) << text;
            EXPECT_EQ(store.error(), error) << text;
        }
    }

} // namespace
} // namespace recursor::dnssec

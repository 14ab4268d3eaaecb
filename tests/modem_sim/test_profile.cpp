#include <gtest/gtest.h>

#include "tools/modem_sim/profile.h"

namespace orv::modem_sim {
namespace {

TEST(ModemSimProfile, FileContentsFromReadableValues) {
    struct Row {
        const char* name;
        std::vector<std::uint8_t> file;
        const char* hex;
    } rows[] = {
        // The card keeps the first digit of each pair in the low nibble; a 19-digit ICCID is
        // filled with F.
        {"19-digit ICCID", iccid_file("8944123456789012345"), "984421436587092143F5"},
        {"short ICCID", iccid_file("8901"), "9810FFFFFFFFFFFFFFFF"},
        {"GSM SPN with @, $ and _", spn_file_gsm("A@$_b", 3), "034100021162FFFFFFFFFFFFFFFFFFFFFF"},
        {"UCS-2 SPN", spn_file_ucs2("\xC3\xA9t\xE2\x82\xAC", 0),
         "008000E9007420ACFFFFFFFFFFFFFFFFFF"},
        {"two languages", pl_file({"de", "en"}), "6465656E"},
        {"one language padded to two slots", pl_file({"fr"}), "6672FFFF"},
        {"no language", pl_file({}), "FFFFFFFF"},
        {"3-digit MNC", ad_file(3), "00000003"},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(bytes_to_hex(r.file), r.hex) << r.name;
    }
}

TEST(ModemSimProfile, RefusesWhatItCannotUse) {
    const char* bad[] = {
        "[device]\nimie = \"1\"\n",                        // misspelt entry
        "inserted = \"other\"\n",                          // no such SIM
        "[sim.default]\nspn = \"Seventeen letters\"\n",    // too long for EF SPN
        "[sim.default]\nspn = \"a{b}\"\n",                 // not one GSM byte each
        "[sim.default]\nspn = \"A\"\nspn_ucs2 = \"B\"\n",  // two names
        "[sim.default.files]\nspn = \"0G\"\n",             // not hexadecimal
        "[sim.default.files]\nspn = \"012\"\n",            // odd digits
        "[sim.default.files]\nad = { sw = [1] }\n",        // one status word
        "[sim.default]\nmnc_digits = 4\n",
        "[sim.default]\niccid = \"89ab\"\n",
        "[sim.default]\nnumbers = [\"1\", \"2\", \"3\"]\n",  // at most two
        "[sim.default.locks.country]\nkey = \"1\"\n",        // no such lock
        "[sim.default]\npin_attempts = -1\n",
        "[[script]]\nmatch = \"AT\"\n",  // no action
        "[device]\ncmee = 3\n",
        "this is not toml",
    };
    for (const char* text : bad) {
        EXPECT_THROW(parse_profile(text, "bad.toml"), ProfileError) << text;
    }
    try {
        parse_profile("[sim.x]\nbusy = \"2\"\n", "where.toml");
        FAIL();
    } catch (const ProfileError& e) {
        EXPECT_NE(std::string(e.what()).find("where.toml: sim.x.busy"), std::string::npos)
            << e.what();
    }
}

TEST(ModemSimProfile, ShippedProfilesLoad) {
    const Profile def = load_profile(ORV_SOURCE_DIR "/tools/modem_sim/profiles/default.toml");
    const Profile builtin = default_profile();
    ASSERT_EQ(def.sims.size(), 1u);
    EXPECT_EQ(def.inserted, "default");
    EXPECT_EQ(def.device.imei, builtin.device.imei);
    EXPECT_EQ(def.sims.at("default").files, builtin.sims.at("default").files);
    EXPECT_EQ(def.sims.at("default").imsi, builtin.sims.at("default").imsi);

    const Profile locked = load_profile(ORV_SOURCE_DIR "/tools/modem_sim/profiles/locked.toml");
    ASSERT_EQ(locked.sims.size(), 2u);
    EXPECT_TRUE(locked.sims.at("default").pin_lock);
    EXPECT_EQ(locked.sims.at("default").numbers.size(), 2u);
    const PersoLock& net =
        locked.sims.at("second").locks[static_cast<std::size_t>(PersoKind::Network)];
    EXPECT_TRUE(net.enabled);
    EXPECT_EQ(net.key, "11112222");
    EXPECT_EQ(net.attempts, 5);
    ASSERT_EQ(locked.scripts.size(), 1u);
    EXPECT_TRUE(locked.scripts[0].silent);
}

TEST(ModemSimProfile, Unescape) {
    struct Row {
        const char* in;
        const char* out;
    } rows[] = {
        {"\\r\\nOK\\r\\n", "\r\nOK\r\n"},
        {"a\\\\r", "a\\r"},
        {"\\\"q\\\"", "\"q\""},
        {"\\x41\\x4a", "AJ"},
        {"\\x4", "\\x4"},
        {"tail\\", "tail\\"},
        {"\\q", "\\q"},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(unescape(r.in), r.out) << r.in;
    }
}

}  // namespace
}  // namespace orv::modem_sim

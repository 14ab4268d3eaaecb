// Profiles: readable values turned into SIM file contents, refusal of what the modem cannot use,
// the shipped profiles, and the escapes of scripted answers.
#include <gtest/gtest.h>

#include "tools/modem_sim/profile.h"

namespace orv::modem_sim {
namespace {

TEST(ModemSimProfile, FileContentsFromReadableValues) {
    // The GSM alphabet puts @ at 0x00, $ at 0x02 and _ at 0x11; UCS-2 names take the 0x80 form.
    EXPECT_EQ(bytes_to_hex(spn_file_gsm("A@$_b", 3)), "034100021162FFFFFFFFFFFFFFFFFFFFFF");
    EXPECT_EQ(bytes_to_hex(spn_file_ucs2("\xC3\xA9t\xE2\x82\xAC", 0)),
              "008000E9007420ACFFFFFFFFFFFFFFFFFF");
}

TEST(ModemSimProfile, RefusesWhatItCannotUseAndSaysWhere) {
    const std::pair<const char*, const char*> rows[] = {
        {"[device]\nimie = \"1\"\n", "p.toml: device: unknown entry 'imie'"},  // misspelt
        {"inserted = \"other\"\n", "p.toml: inserted"},                        // no such SIM
        {"[sim.default]\nspn = \"Seventeen letters\"\n",
         "p.toml: sim.default: SPN longer than 16"},                              // too long
        {"[sim.a]\nnumbers = [\"1\", \"2\", \"3\"]\n", "p.toml: sim.a.numbers"},  // at most two
        {"[[script]]\nmatch = \"AT\"\n", "p.toml: script"},                       // no action
        {"[sim.x]\nbusy = \"2\"\n", "p.toml: sim.x.busy"},                        // not a number
        {"this is not toml", "p.toml"},
    };
    for (const auto& [text, where] : rows) {
        try {
            parse_profile(text, "p.toml");
            ADD_FAILURE() << text;
        } catch (const ProfileError& e) {
            EXPECT_NE(std::string(e.what()).find(where), std::string::npos) << e.what();
        }
    }
}

TEST(ModemSimProfile, ShippedProfilesLoad) {
    const Profile def = load_profile(ORV_SOURCE_DIR "/tools/modem_sim/profiles/default.toml");
    const Profile builtin = default_profile();
    EXPECT_EQ(def.sims.at("default").files, builtin.sims.at("default").files);
    EXPECT_EQ(def.sims.at("default").imsi, builtin.sims.at("default").imsi);
    const Profile locked = load_profile(ORV_SOURCE_DIR "/tools/modem_sim/profiles/locked.toml");
    EXPECT_EQ(locked.sims.at("second").locks[static_cast<std::size_t>(PersoKind::Network)].key,
              "11112222");
}

TEST(ModemSimProfile, Unescape) {
    EXPECT_EQ(unescape("\\r\\nOK\\r\\n"), "\r\nOK\r\n");
    EXPECT_EQ(unescape("a\\\\r\\x41"), "a\\rA");
    EXPECT_EQ(unescape("\\x4 \\q tail\\"), "\\x4 \\q tail\\");  // kept as written
}

}  // namespace
}  // namespace orv::modem_sim

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "device/device.h"
#include "tests/fake/fake_platform.h"

namespace orv::device {
namespace {

using fake::fake;
using fake::Lines;

constexpr int kVersionItem = 2000;

// A 352-byte version record with the given texts written at their offsets (no terminator added:
// the rest of the record is zero, except where a text fills its field).
struct Record {
    std::string inner, model, hardware, manufacturer, integrated;
    std::string bytes() const {
        std::string r(352, '\0');
        r.replace(0, inner.size(), inner);
        r.replace(32, model.size(), model);
        r.replace(64, hardware.size(), hardware);
        r.replace(96, manufacturer.size(), manufacturer);
        r.replace(320, integrated.size(), integrated);
        return r;
    }
};

struct VersionCase {
    const char* name;
    std::optional<std::string> item;  // none: the item cannot be read
    Lines pcb_timeline;
    Lines ovn_timeline;
};

TEST(Version, FieldsArePublishedUpToTheirTerminatorOrTheirWidth) {
    const std::string a32(32, 'A');
    const std::string m224(224, 'm');
    const std::string i32(32, 'I');
    const Record normal{"WA1.2.3", "Orv X1", "PCB_V2", "Orv Devices", "INT_9"};
    std::string garbage_after_manufacturer = normal.bytes();
    garbage_after_manufacturer.replace(200, 5, "JUNK!");

    const VersionCase cases[] = {
        {"every field",
         normal.bytes(),
         {"WRITE hardware_version=PCB_V2"},
         {"WRITE wa_inner_version=WA1.2.3", "WRITE manufacturer=Orv Devices",
          "WRITE model_name=Orv X1", "WRITE device_num=Orv X1", "WRITE integrate_version=INT_9"}},
        {"empty fields publish empty values",
         Record{"WA1", "", "", "", ""}.bytes(),
         {"WRITE hardware_version="},
         {"WRITE wa_inner_version=WA1", "WRITE manufacturer=", "WRITE model_name=",
          "WRITE device_num=", "WRITE integrate_version="}},
        // A field filled to its width without a terminator is published whole, and never runs
        // into the field after it.
        {"full-width fields without terminator",
         Record{a32, "Orv X1", a32, m224, i32}.bytes(),
         {"WRITE hardware_version=" + a32},
         {"WRITE wa_inner_version=" + a32, "WRITE manufacturer=" + m224, "WRITE model_name=Orv X1",
          "WRITE device_num=Orv X1", "WRITE integrate_version=" + i32}},
        {"bytes after the manufacturer's terminator are not read",
         garbage_after_manufacturer,
         {"WRITE hardware_version=PCB_V2"},
         {"WRITE wa_inner_version=WA1.2.3", "WRITE manufacturer=Orv Devices",
          "WRITE model_name=Orv X1", "WRITE device_num=Orv X1", "WRITE integrate_version=INT_9"}},
        {"unreadable item", std::nullopt, {}, {}},
    };
    for (const VersionCase& c : cases) {
        for (const bool pcb : {true, false}) {
            fake::reset();
            if (c.item) {
                fake().cfg_items[kVersionItem] = *c.item;
            }
            EXPECT_EQ(pcb ? orv_quorl_mdm_get_pcb(nullptr) : orv_quorl_mdm_get_ovn(nullptr), 0);
            EXPECT_EQ(fake().timeline, pcb ? c.pcb_timeline : c.ovn_timeline)
                << c.name << (pcb ? " (pcb)" : " (ovn)");
            if (!c.item) {
                EXPECT_EQ(fake().log_texts(), (Lines{"0 get ORV_CFG_VERSION_ID error \n"}));
            }
        }
    }
}

TEST(Version, EachPublishedFieldIsLoggedOnceExceptTheDeviceNumber) {
    fake::reset();
    fake().cfg_items[kVersionItem] = Record{"WA1", "X1", "P2", "Orv", "I9"}.bytes();
    orv_quorl_mdm_get_ovn(nullptr);
    EXPECT_EQ(fake().log_texts(), (Lines{"6 wa_inner_version is WA1 \n", "6 manufacturer is Orv \n",
                                         "6 model_name is X1 \n", "6 integrate_version is I9 \n"}));
    fake::reset();
    fake().cfg_items[kVersionItem] = Record{"", "", std::string(32, 'H'), "", ""}.bytes();
    orv_quorl_mdm_get_pcb(nullptr);
    EXPECT_EQ(fake().log_texts(), (Lines{"6 hardware_version is " + std::string(32, 'H') + " \n"}));
}

}  // namespace
}  // namespace orv::device

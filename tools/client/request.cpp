// Request datagrams built from command-line options. Each payload option is written at the offset
// wire/mdm_msg.h gives it; a text must fit its field together with its terminator.
#include <cstring>

#include "tools/client/orv_client.h"

namespace orv::client {

namespace {

enum OptionBit : unsigned {
    kBitPin = 1u << 0,
    kBitPuk = 1u << 1,
    kBitNewPin = 1u << 2,
    kBitOldPin = 1u << 3,
    kBitOp = 1u << 4,
    kBitCode = 1u << 5,
    kBitMode = 1u << 6,
};

struct OptionName {
    unsigned bit;
    std::string_view flag;
};
constexpr OptionName kOptionNames[] = {
    {kBitPin, "--pin"}, {kBitPuk, "--puk"},   {kBitNewPin, "--new-pin"}, {kBitOldPin, "--old-pin"},
    {kBitOp, "--op"},   {kBitCode, "--code"}, {kBitMode, "--mode"},
};

unsigned given_mask(const PayloadOptions& o) {
    unsigned m = 0;
    m |= o.pin ? kBitPin : 0u;
    m |= o.puk ? kBitPuk : 0u;
    m |= o.new_pin ? kBitNewPin : 0u;
    m |= o.old_pin ? kBitOldPin : 0u;
    m |= o.op ? kBitOp : 0u;
    m |= o.code ? kBitCode : 0u;
    m |= o.mode ? kBitMode : 0u;
    return m;
}

std::string request_label(std::uint32_t id) {
    if (id < msg::kMsgCount) {
        return std::string(msg::msg_name(id));
    }
    return "request " + std::to_string(id);
}

// Most characters a field takes before its terminator. A field without a width runs to the end
// of the largest payload the daemon receives.
std::size_t text_room(msg::TextField f) {
    return f.width != 0 ? f.width - 1 : msg::kMaxPayload - f.offset - 1;
}

bool put_text(std::string& payload, msg::TextField f, std::string_view text, std::string_view flag,
              std::uint32_t id, std::string& error) {
    const std::size_t room = text_room(f);
    if (text.size() > room) {
        error = std::string(flag) + " \"" + escape_bytes(text) + "\" is " +
                std::to_string(text.size()) + " characters; its field in " + request_label(id) +
                " (offset " + std::to_string(f.offset) + ") holds at most " + std::to_string(room) +
                " and the terminator";
        return false;
    }
    const std::size_t end = f.offset + (f.width != 0 ? f.width : text.size() + 1);
    if (payload.size() < end) {
        payload.resize(end, '\0');
    }
    if (!text.empty()) {
        std::memcpy(payload.data() + f.offset, text.data(), text.size());
    }
    return true;
}

void put_u32(std::string& payload, msg::IntField f, std::uint32_t value) {
    if (payload.size() < f.offset + 4) {
        payload.resize(f.offset + 4, '\0');
    }
    msg::store_u32(reinterpret_cast<unsigned char*>(payload.data() + f.offset), value);
}

bool build_verify_pin(const PayloadOptions& o, std::string& payload, std::string& error) {
    namespace layout = msg::verify_pin;
    const std::uint32_t id = msg::ORV_MDM_VERIFY_PIN;
    if (o.pin && o.puk) {
        error = "--pin and --puk both go in the first field; give one of them";
        return false;
    }
    if (o.pin && o.new_pin) {
        error = "--new-pin goes with --puk (unblocking), not with --pin";
        return false;
    }
    if (o.puk && !o.new_pin) {
        error = "--puk needs --new-pin (the PIN that replaces the blocked one)";
        return false;
    }
    if (!o.pin && !o.puk) {
        error = "ORV_MDM_VERIFY_PIN needs --pin P, or --puk K --new-pin P";
        return false;
    }
    if (o.pin) {
        return put_text(payload, layout::kCode, *o.pin, "--pin", id, error) &&
               put_text(payload, layout::kNewPin, "", "--new-pin", id, error);
    }
    return put_text(payload, layout::kCode, *o.puk, "--puk", id, error) &&
           put_text(payload, layout::kNewPin, *o.new_pin, "--new-pin", id, error);
}

bool build_change_pin(const PayloadOptions& o, std::string& payload, std::string& error) {
    namespace layout = msg::change_pin;
    const std::uint32_t id = msg::ORV_MDM_CHANGE_PIN;
    if (!o.old_pin || !o.new_pin) {
        error = "ORV_MDM_CHANGE_PIN needs --old-pin P and --new-pin P";
        return false;
    }
    return put_text(payload, layout::kOldPin, *o.old_pin, "--old-pin", id, error) &&
           put_text(payload, layout::kNewPin, *o.new_pin, "--new-pin", id, error);
}

bool parse_operation(std::string_view text, std::uint32_t& op) {
    if (text == "off") {
        op = msg::pin_mode::kLockOff;
    } else if (text == "on") {
        op = msg::pin_mode::kLockOn;
    } else if (text == "query") {
        op = msg::pin_mode::kQuery;
    } else {
        return parse_int32_bits(text, op);
    }
    return true;
}

bool build_pin_mode(const PayloadOptions& o, std::string& payload, std::string& error) {
    namespace layout = msg::pin_mode;
    const std::uint32_t id = msg::ORV_MDM_PIN_MODE;
    if (!o.op) {
        error = "ORV_MDM_PIN_MODE needs --op off|on|query|N";
        return false;
    }
    std::uint32_t op = 0;
    if (!parse_operation(*o.op, op)) {
        error = "--op \"" + escape_bytes(*o.op) + "\" is not off, on, query or a 32-bit number";
        return false;
    }
    if (op == layout::kQuery && o.pin) {
        error = "--pin does not go with --op query (a query reads no PIN)";
        return false;
    }
    if ((op == layout::kLockOff || op == layout::kLockOn) && !o.pin) {
        error = "--op off and --op on need --pin P";
        return false;
    }
    put_u32(payload, layout::kOperation, op);
    if (op != layout::kQuery) {
        return put_text(payload, layout::kPin, o.pin ? *o.pin : std::string(), "--pin", id, error);
    }
    return true;
}

bool build_net_unlock(const PayloadOptions& o, std::string& payload, std::string& error) {
    if (!o.code) {
        error = "ORV_MDM_NET_UNLOCK needs --code C";
        return false;
    }
    return put_text(payload, msg::net_unlock::kCode, *o.code, "--code", msg::ORV_MDM_NET_UNLOCK,
                    error);
}

bool build_modem_mode(const PayloadOptions& o, std::string& payload, std::string& error) {
    if (!o.mode) {
        error = "ORV_MDM_SET_MODEM_MODE needs --mode N (1 radio off, 0 radio on)";
        return false;
    }
    std::uint32_t mode = 0;
    if (!parse_int32_bits(*o.mode, mode)) {
        error = "--mode \"" + escape_bytes(*o.mode) + "\" is not a 32-bit number";
        return false;
    }
    put_u32(payload, msg::modem_mode::kMode, mode);
    return true;
}

// The requests that read a payload, the options each takes, and how --help shows them.
struct PayloadRow {
    std::uint32_t id;
    unsigned allowed;
    std::string_view usage;
    bool (*build)(const PayloadOptions& o, std::string& payload, std::string& error);
};
constexpr PayloadRow kPayloadRows[] = {
    {msg::ORV_MDM_VERIFY_PIN, kBitPin | kBitPuk | kBitNewPin, "--pin P | --puk K --new-pin P",
     build_verify_pin},
    {msg::ORV_MDM_CHANGE_PIN, kBitOldPin | kBitNewPin, "--old-pin P --new-pin P", build_change_pin},
    {msg::ORV_MDM_PIN_MODE, kBitOp | kBitPin, "--op off|on|query|N [--pin P]", build_pin_mode},
    {msg::ORV_MDM_NET_UNLOCK, kBitCode, "--code C", build_net_unlock},
    {msg::ORV_MDM_SET_MODEM_MODE, kBitMode, "--mode N (1 radio off, 0 radio on)", build_modem_mode},
};

const PayloadRow* find_row(std::uint32_t id) {
    for (const PayloadRow& row : kPayloadRows) {
        if (row.id == id) {
            return &row;
        }
    }
    return nullptr;
}

}  // namespace

bool parse_request_id(std::string_view text, std::uint32_t& id) {
    if (parse_u32(text, id)) {
        return true;
    }
    const std::optional<std::uint32_t> found = msg::msg_id_by_name(text);
    id = found.value_or(id);
    return found.has_value();
}

std::string_view payload_usage(std::uint32_t id) {
    const PayloadRow* row = find_row(id);
    return row != nullptr ? row->usage : std::string_view();
}

bool build_payload(std::uint32_t id, const PayloadOptions& opts, std::string& payload,
                   std::string& error) {
    payload.clear();
    const unsigned given = given_mask(opts);
    if (opts.raw_hex) {
        if (given != 0) {
            error = "--raw-hex replaces the whole payload; leave out the other payload options";
            return false;
        }
        if (!from_hex(*opts.raw_hex, payload)) {
            error = "--raw-hex \"" + escape_bytes(*opts.raw_hex) +
                    "\" is not hex (pairs of digits, blanks or ':' between pairs allowed)";
            return false;
        }
        return true;
    }
    const PayloadRow* row = find_row(id);
    const unsigned allowed = row != nullptr ? row->allowed : 0u;
    for (const OptionName& opt : kOptionNames) {
        if ((given & opt.bit) != 0 && (allowed & opt.bit) == 0) {
            error = "option " + std::string(opt.flag) + " does not belong to " + request_label(id) +
                    (row != nullptr ? " (it takes " + std::string(row->usage) + ")"
                                    : " (it reads no payload)");
            return false;
        }
    }
    // A plain number: every other identifier reads no payload.
    return row == nullptr || row->build(opts, payload, error);
}

std::string make_datagram(std::uint32_t wire_id, std::string_view payload) {
    std::string datagram(msg::kIdSize, '\0');
    msg::store_u32(reinterpret_cast<unsigned char*>(datagram.data()), wire_id);
    datagram.append(payload);
    return datagram;
}

Publication publications(std::uint32_t id) {
    using namespace orv::msg;
    // What each handler writes (docs/sim-security.md, sim-identity.md, device.md); a request
    // whose modem answer tells nothing writes less, or nothing.
    switch (id) {
        case ORV_MDM_TEST_RPC_MSG:
            return {{}, "rpc_status"};
        case ORV_MDM_GET_PIN_STATUS:
        case ORV_MDM_GET_OSEC:
            return {{"pinnumber", "puknumber"}, "pin_status"};
        case ORV_MDM_VERIFY_PIN:
            return {{"pin_code", "pinnumber", "puknumber", "pin_puk_at_wait"}, "verify_pinpuk"};
        case ORV_MDM_CHANGE_PIN:
            return {
                {"pin_manage_result", "pin_code", "pinnumber", "puknumber", "pin_manage_at_wait"},
                "verify_pinpuk (when the SIM then wants its PUK)"};
        case ORV_MDM_PIN_MODE:
            return {{"pin_status", "pin_manage_result", "pin_code", "pinnumber", "puknumber",
                     "pin_manage_at_wait"},
                    "verify_pinpuk (when the SIM then wants its PUK)"};
        case ORV_MDM_PIN_PUK_TIMES:
            return {{"pinnumber", "puknumber"}, ""};
        case ORV_MDM_GET_IMEI:
            return {{"imei"}, ""};
        case ORV_MDM_GET_PCB:
            return {{"hardware_version"}, ""};
        case ORV_MDM_GET_OVN:
            return {{"wa_inner_version", "manufacturer", "model_name", "device_num",
                     "integrate_version"},
                    ""};
        case ORV_MDM_GET_BATT_INFO:
            return {{"battery_pers", "battery_value", "battery_vol_percent", "battery_charging"},
                    ""};
        case ORV_MDM_NET_UNLOCK_TIMES:
            return {{"unlock_nck_time"}, ""};
        case ORV_MDM_NET_UNLOCK:
            return {{"unlock_at_wait"}, "imsi_unlock_status"};
        case ORV_MDM_GET_SIM_SPN:
            return {{"spn_b1_flag", "spn_b2_flag", "spn_name_data"}, ""};
        case ORV_MDM_GET_ICCID:
            return {{"sim_iccid", "Language", "iccid"}, ""};
        case ORV_MDM_GET_IMSI:
            return {{"sim_imsi"}, ""};
        case ORV_MDM_GET_MSISDN:
            return {{"msisdn"}, ""};
        case ORV_MDM_APN_GET_SIM_INFO:
            return {{}, "apn_sim_msg"};
        case ORV_MDM_MAX_MSG:
            return {{"sim_pay_type_o2"}, ""};
        default:
            return {};
    }
}

}  // namespace orv::client

// SPDX-License-Identifier: Apache-2.0
// SPDX-FileCopyrightText: the vorn developers
// Machine-check records (decode-mce, sp), decoded by mc_record.cpp: a
// paragraph for a person, a JSON object for scripts.
#include <initializer_list>
#include <utility>

#include "vornctl/json.h"
#include "vornctl/render.h"

namespace vornctl {

namespace {

// The key column of the plain output: names padded to this width, then two
// spaces, as vornctl's other aligned output.
constexpr std::size_t kKeyWidth = 11;

std::string hex(std::uint64_t v, unsigned digits)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out = "0x";
    for (unsigned i = digits; i-- > 0;) {
        out += kDigits[(v >> (4 * i)) & 0xFU];
    }
    return out;
}

void line(std::string& out, std::string_view name, std::string_view value)
{
    out += name;
    if (!value.empty()) {
        out.append(name.size() < kKeyWidth ? kKeyWidth - name.size() : 0, ' ');
        out += "  ";
        out += value;
    }
    out += '\n';
}

// A register's value, then the names of its bits that are set.
std::string withFlags(std::uint64_t value, std::initializer_list<std::pair<bool, std::string_view>> flags)
{
    std::string out = hex(value, 16);
    const char* separator = "  ";
    for (const auto& [set, word] : flags) {
        if (set) {
            out += separator;
            out += word;
            separator = " ";
        }
    }
    return out;
}

std::string errorWords(const McBank& b)
{
    std::string out = hex(b.errorCode, 4) + " " + std::string(mcErrorClassName(b.errorClass));
    switch (b.errorClass) {
    case McErrorClass::Tlb:
        out += ": transaction " + b.transaction + ", level " + b.level;
        break;
    case McErrorClass::Memory:
        out += ": request " + b.request + ", transaction " + b.transaction + ", level " + b.level;
        break;
    case McErrorClass::Bus:
        out += ": participation " + b.participation + (b.timeout ? ", timeout" : ", no timeout") + ", request " +
               b.request + ", space " + b.space + ", level " + b.level;
        break;
    case McErrorClass::Internal:
    case McErrorClass::Other:
        break;
    }
    return out;
}

} // namespace

std::string renderMcRecordText(const McRecord& record)
{
    std::string out;
    line(out, "cpu",
         std::to_string(record.cpuId) + "  (version " + std::to_string(record.version) + ", errOccurred " +
             std::to_string(record.errOccurred) + ")");
    line(out, "mcgStatus",
         withFlags(record.mcgStatus, {{record.ripv, "ripv"}, {record.eipv, "eipv"}, {record.mcip, "mcip"}}));
    if (record.banks.empty()) {
        line(out, "banks", "none valid");
    }
    for (const McBank& b : record.banks) {
        const std::string number = std::to_string(b.bank);
        // Another family's banks have no name but their number.
        line(out, "bank " + number, b.name == number ? std::string() : b.name);
        line(out, "  status",
             withFlags(b.status, {{b.valid, "valid"},
                                  {b.overflow, "overflow"},
                                  {b.uncorrected, "uncorrected"},
                                  {b.enabled, "enabled"},
                                  {b.miscValid, "miscValid"},
                                  {b.addrValid, "addrValid"},
                                  {b.pcc, "pcc"}}));
        line(out, "  ctl", hex(b.ctl, 16));
        if (b.addrValid) {
            line(out, "  addr", hex(b.addr, 16));
        }
        line(out, "  error", errorWords(b));
    }
    out += '\n';
    return out;
}

std::string renderMcRecordJson(const McRecord& record)
{
    JsonValue j = {{"cpuId", record.cpuId},
                   {"version", record.version},
                   {"errOccurred", record.errOccurred},
                   {"mcgStatus", {{"ripv", record.ripv}, {"eipv", record.eipv}, {"mcip", record.mcip}}}};
    JsonValue& banks = j["banks"] = JsonValue::array();
    for (const McBank& b : record.banks) {
        JsonValue& o = banks.emplace_back(JsonValue::object());
        o["bank"] = b.bank;
        o["name"] = b.name;
        o["status"] = hex(b.status, 16);
        o["ctl"] = hex(b.ctl, 16);
        if (b.addrValid) {
            o["addr"] = hex(b.addr, 16);
        }
        o["valid"] = b.valid;
        o["overflow"] = b.overflow;
        o["uncorrected"] = b.uncorrected;
        o["enabled"] = b.enabled;
        o["miscValid"] = b.miscValid;
        o["addrValid"] = b.addrValid;
        o["pcc"] = b.pcc;
        o["errorCode"] = hex(b.errorCode, 4);
        o["errorClass"] = mcErrorClassName(b.errorClass);
        switch (b.errorClass) {
        case McErrorClass::Tlb:
            o["transaction"] = b.transaction;
            o["level"] = b.level;
            break;
        case McErrorClass::Memory:
            o["request"] = b.request;
            o["transaction"] = b.transaction;
            o["level"] = b.level;
            break;
        case McErrorClass::Bus:
            o["participation"] = b.participation;
            o["timeout"] = b.timeout;
            o["request"] = b.request;
            o["space"] = b.space;
            o["level"] = b.level;
            break;
        case McErrorClass::Internal:
        case McErrorClass::Other:
            break;
        }
    }
    return jsonLine(j);
}

} // namespace vornctl

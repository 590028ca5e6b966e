// A small HID report-descriptor parser: what HidP_GetCaps tells of each
// top-level collection (usage page, usage and the report lengths), computed
// from the raw descriptor that Linux hands out. Free of any OS header so it
// builds and is tested everywhere.
//
// Lengths follow the Windows rule: the size in bytes of the largest report
// of that kind in the collection, plus one byte for the report ID (which is
// counted even when the descriptor uses no report IDs); 0 when the
// collection has no report of that kind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct hid_collection_caps {
    std::uint16_t usage_page;
    std::uint16_t usage;
    std::uint16_t input_report_byte_length;
    std::uint16_t output_report_byte_length;
    std::uint16_t feature_report_byte_length;
};

namespace hid_descriptor_detail {

constexpr int KIND_INPUT = 0;
constexpr int KIND_OUTPUT = 1;
constexpr int KIND_FEATURE = 2;
constexpr std::size_t GLOBAL_STACK_MAX = 16;  // Push nesting a real descriptor never exceeds
constexpr std::uint64_t REPORT_BITS_MAX = 0xFFFFull * 8;

struct globals {
    std::uint32_t usage_page = 0;
    std::uint32_t report_size = 0;
    std::uint32_t report_count = 0;
    std::uint32_t report_id = 0;
};

// Bits per report ID and kind within one top-level collection.
struct tally {
    std::uint32_t report_id;
    std::uint64_t bits[3];
};

inline std::uint16_t byte_length(std::uint64_t bits)
{
    const std::uint64_t bytes = (bits + 7) / 8 + 1;
    return bytes > 0xFFFF ? 0xFFFF : static_cast<std::uint16_t>(bytes);
}

}  // namespace hid_descriptor_detail

// Parses `size` bytes. Returns false for a malformed descriptor (an item
// cut short, an End Collection without a Collection, a collection left
// open, a Pop without a Push); `out` then holds nothing.
inline bool hid_descriptor_parse(const std::uint8_t* data, std::size_t size,
                                 std::vector<hid_collection_caps>* out)
{
    using namespace hid_descriptor_detail;
    out->clear();
    globals g;
    std::vector<globals> stack;
    std::vector<std::uint32_t> usages;  // locals, as extended usages (page << 16 | id)
    bool have_usage_min = false;
    std::uint32_t usage_min = 0;
    int depth = 0;
    std::vector<tally> tallies;  // of the open top-level collection

    auto finish_collection = [&]() {
        hid_collection_caps& c = out->back();
        std::uint64_t most[3] = {0, 0, 0};
        for (const tally& t : tallies)
            for (int k = 0; k < 3; ++k)
                if (t.bits[k] > most[k])
                    most[k] = t.bits[k];
        c.input_report_byte_length = most[KIND_INPUT] ? byte_length(most[KIND_INPUT]) : 0;
        c.output_report_byte_length = most[KIND_OUTPUT] ? byte_length(most[KIND_OUTPUT]) : 0;
        c.feature_report_byte_length = most[KIND_FEATURE] ? byte_length(most[KIND_FEATURE]) : 0;
        tallies.clear();
    };

    std::size_t pos = 0;
    while (pos < size) {
        const std::uint8_t prefix = data[pos];
        if (prefix == 0xFE) {  // long item: skipped, as no usage of ours lives in one
            if (pos + 3 > size)
                return out->clear(), false;
            const std::size_t len = data[pos + 1];
            if (pos + 3 + len > size)
                return out->clear(), false;
            pos += 3 + len;
            continue;
        }
        const std::size_t len = (prefix & 3) == 3 ? 4 : (prefix & 3);
        if (pos + 1 + len > size)
            return out->clear(), false;
        std::uint32_t value = 0;
        for (std::size_t i = 0; i < len; ++i)
            value |= static_cast<std::uint32_t>(data[pos + 1 + i]) << (8 * i);
        pos += 1 + len;
        const int type = (prefix >> 2) & 3;
        const int tag = prefix >> 4;

        if (type == 1) {  // global
            switch (tag) {
            case 0x0: g.usage_page = value & 0xFFFF; break;
            case 0x7: g.report_size = value; break;
            case 0x8: g.report_id = value & 0xFF; break;
            case 0x9: g.report_count = value; break;
            case 0xA:
                if (stack.size() >= GLOBAL_STACK_MAX)
                    return out->clear(), false;
                stack.push_back(g);
                break;
            case 0xB:
                if (stack.empty())
                    return out->clear(), false;
                g = stack.back();
                stack.pop_back();
                break;
            default: break;
            }
            continue;
        }
        if (type == 2) {  // local
            const std::uint32_t extended = len == 4 ? value : (g.usage_page << 16) | (value & 0xFFFF);
            if (tag == 0x0) {
                usages.push_back(extended);
            } else if (tag == 0x1) {
                have_usage_min = true;
                usage_min = extended;
            } else if (tag == 0x2 && have_usage_min) {
                usages.push_back(usage_min);  // the first usage of the range names it
            }
            continue;
        }
        if (type == 0) {  // main
            switch (tag) {
            case 0xA:  // Collection
                if (depth == 0) {
                    const std::uint32_t u = usages.empty() ? g.usage_page << 16 : usages.front();
                    out->push_back(hid_collection_caps{static_cast<std::uint16_t>(u >> 16),
                                                       static_cast<std::uint16_t>(u & 0xFFFF), 0, 0, 0});
                }
                ++depth;
                break;
            case 0xC:  // End Collection
                if (depth == 0)
                    return out->clear(), false;
                if (--depth == 0)
                    finish_collection();
                break;
            case 0x8:
            case 0x9:
            case 0xB: {
                if (depth == 0)
                    break;  // outside every collection: belongs to none
                const int kind = tag == 0x8 ? KIND_INPUT : tag == 0x9 ? KIND_OUTPUT : KIND_FEATURE;
                tally* t = nullptr;
                for (tally& x : tallies)
                    if (x.report_id == g.report_id)
                        t = &x;
                if (!t) {
                    tallies.push_back(tally{g.report_id, {0, 0, 0}});
                    t = &tallies.back();
                }
                const std::uint64_t bits = std::uint64_t{g.report_size} * g.report_count;
                t->bits[kind] = t->bits[kind] + bits > REPORT_BITS_MAX ? REPORT_BITS_MAX
                                                                      : t->bits[kind] + bits;
                break;
            }
            default: break;
            }
            usages.clear();
            have_usage_min = false;
            continue;
        }
        // type 3 (reserved) short items carry nothing we read
    }
    if (depth != 0)
        return out->clear(), false;
    return true;
}

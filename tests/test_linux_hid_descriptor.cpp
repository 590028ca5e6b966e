// The report-descriptor parser of the Linux backend, on descriptors written
// out item by item from the HID usage tables.
#include <gtest/gtest.h>

#include <vector>

#include "platform/linux/hid_descriptor.h"

namespace {

using bytes = std::vector<std::uint8_t>;

// The controller's vendor collection: one 256-byte feature report, ID 0xFF.
const bytes VENDOR = {
    0x06, 0x01, 0xFF,  // Usage Page (0xFF01)
    0x09, 0xF1,        // Usage (0xF1)
    0xA1, 0x01,        // Collection (Application)
    0x85, 0xFF,        //   Report ID (0xFF)
    0x09, 0x01,        //   Usage (1)
    0x15, 0x00,        //   Logical Minimum (0)
    0x26, 0xFF, 0x00,  //   Logical Maximum (255)
    0x75, 0x08,        //   Report Size (8)
    0x96, 0x00, 0x01,  //   Report Count (256)
    0xB1, 0x02,        //   Feature (Data, Var, Abs)
    0xC0,              // End Collection
};

// The boot keyboard: 8-byte input, 1-byte LED output, no report IDs.
const bytes KEYBOARD = {
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01,              // Generic Desktop, Keyboard, Application
    0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7,              // Key codes, modifiers E0-E7
    0x15, 0x00, 0x25, 0x01, 0x75, 0x01, 0x95, 0x08,  // 8 one-bit fields
    0x81, 0x02,                                      // Input (Data, Var, Abs)
    0x95, 0x01, 0x75, 0x08, 0x81, 0x01,              // reserved byte: Input (Const)
    0x95, 0x05, 0x75, 0x01, 0x05, 0x08,              // 5 LEDs
    0x19, 0x01, 0x29, 0x05, 0x91, 0x02,              // Output (Data, Var, Abs)
    0x95, 0x01, 0x75, 0x03, 0x91, 0x01,              // LED padding: Output (Const)
    0x95, 0x06, 0x75, 0x08, 0x15, 0x00, 0x25, 0x65,  // 6 key codes
    0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00,  // Input (Data, Array)
    0xC0,
};

// The boot mouse: three buttons, X and Y, in a Physical collection.
const bytes MOUSE = {
    0x05, 0x01, 0x09, 0x02, 0xA1, 0x01,              // Generic Desktop, Mouse, Application
    0x09, 0x01, 0xA1, 0x00,                          //   Pointer, Physical
    0x05, 0x09, 0x19, 0x01, 0x29, 0x03,              //     Buttons 1-3
    0x15, 0x00, 0x25, 0x01, 0x95, 0x03, 0x75, 0x01,
    0x81, 0x02,                                      //     Input (Data, Var, Abs)
    0x95, 0x01, 0x75, 0x05, 0x81, 0x01,              //     padding
    0x05, 0x01, 0x09, 0x30, 0x09, 0x31,              //     X, Y
    0x15, 0x81, 0x25, 0x7F, 0x75, 0x08, 0x95, 0x02,
    0x81, 0x06,                                      //     Input (Data, Var, Rel)
    0xC0, 0xC0,
};

bytes join(const bytes& a, const bytes& b)
{
    bytes r = a;
    r.insert(r.end(), b.begin(), b.end());
    return r;
}

std::vector<hid_collection_caps> parse_ok(const bytes& d)
{
    std::vector<hid_collection_caps> caps;
    EXPECT_TRUE(hid_descriptor_parse(d.data(), d.size(), &caps));
    return caps;
}

void expect_caps(const hid_collection_caps& c, std::uint16_t page, std::uint16_t usage,
                 std::uint16_t in, std::uint16_t out, std::uint16_t feature)
{
    EXPECT_EQ(c.usage_page, page);
    EXPECT_EQ(c.usage, usage);
    EXPECT_EQ(c.input_report_byte_length, in);
    EXPECT_EQ(c.output_report_byte_length, out);
    EXPECT_EQ(c.feature_report_byte_length, feature);
}

TEST(LinuxHidDescriptor, SingleCollectionsGiveTheirUsageAndReportLengths)
{
    auto v = parse_ok(VENDOR);
    ASSERT_EQ(v.size(), 1u);
    expect_caps(v[0], 0xFF01, 0xF1, 0, 0, 257);

    auto k = parse_ok(KEYBOARD);
    ASSERT_EQ(k.size(), 1u);
    expect_caps(k[0], 0x01, 0x06, 9, 2, 0);  // report-ID byte counted without report IDs

    auto m = parse_ok(MOUSE);
    ASSERT_EQ(m.size(), 1u);  // the nested Physical collection is not top-level
    expect_caps(m[0], 0x01, 0x02, 4, 0, 0);
}

TEST(LinuxHidDescriptor, SeveralTopLevelCollectionsAreKeptApartInOrder)
{
    auto c = parse_ok(join(MOUSE, VENDOR));
    ASSERT_EQ(c.size(), 2u);
    expect_caps(c[0], 0x01, 0x02, 4, 0, 0);
    expect_caps(c[1], 0xFF01, 0xF1, 0, 0, 257);
}

TEST(LinuxHidDescriptor, FeatureLengthIsTheLargestReportOfTheCollection)
{
    // Two feature reports: 64 bytes under ID 1, 256 bytes under ID 0xFF;
    // 64 more bits of input under ID 1 do not add to the feature length.
    const bytes d = {
        0x06, 0x01, 0xFF, 0x09, 0xF1, 0xA1, 0x01,
        0x85, 0x01, 0x75, 0x08, 0x95, 0x40, 0x09, 0x02, 0xB1, 0x02,
        0x09, 0x03, 0x81, 0x02,
        0x85, 0xFF, 0x96, 0x00, 0x01, 0x09, 0x01, 0xB1, 0x02,
        0xC0,
    };
    auto c = parse_ok(d);
    ASSERT_EQ(c.size(), 1u);
    expect_caps(c[0], 0xFF01, 0xF1, 65, 0, 257);
}

TEST(LinuxHidDescriptor, ExtendedUsageAndPushPopAreHonoured)
{
    const bytes d = {
        0x0B, 0xF1, 0x00, 0x01, 0xFF,  // Usage (page 0xFF01, usage 0xF1) in one 4-byte item
        0xA1, 0x01,
        0x85, 0xFF, 0x75, 0x08,
        0xA4,                          // Push
        0x75, 0x10, 0x95, 0x10,        //   16 x 16 bits, then popped away
        0xB4,                          // Pop: report size 8 again, count unset (0)
        0x96, 0x00, 0x01, 0xB1, 0x02,
        0xC0,
    };
    auto c = parse_ok(d);
    ASSERT_EQ(c.size(), 1u);
    expect_caps(c[0], 0xFF01, 0xF1, 0, 0, 257);
}

TEST(LinuxHidDescriptor, MalformedDescriptorsAreRefused)
{
    const bytes cut_item = {0x06, 0x01, 0xFF, 0x09, 0xF1, 0xA1, 0x01, 0x96, 0x00};
    const bytes stray_end = {0x09, 0x01, 0xC0};
    const bytes left_open = {0x06, 0x01, 0xFF, 0x09, 0xF1, 0xA1, 0x01, 0x75, 0x08};
    const bytes pop_alone = {0xB4};
    const bytes cut_long_item = {0xFE, 0x10, 0x00, 0x01};
    for (const bytes* d : {&cut_item, &stray_end, &left_open, &pop_alone, &cut_long_item}) {
        std::vector<hid_collection_caps> caps{hid_collection_caps{}};
        EXPECT_FALSE(hid_descriptor_parse(d->data(), d->size(), &caps));
        EXPECT_TRUE(caps.empty());
    }
    std::vector<hid_collection_caps> none;
    EXPECT_TRUE(hid_descriptor_parse(nullptr, 0, &none));
    EXPECT_TRUE(none.empty());
}

TEST(LinuxHidDescriptor, HugeReportCountsAreClampedNotWrapped)
{
    const bytes d = {
        0x06, 0x01, 0xFF, 0x09, 0xF1, 0xA1, 0x01,
        0x77, 0xFF, 0xFF, 0xFF, 0xFF,  // Report Size (2^32 - 1)
        0x97, 0xFF, 0xFF, 0xFF, 0xFF,  // Report Count (2^32 - 1)
        0xB1, 0x02, 0xB1, 0x02,
        0xC0,
    };
    auto c = parse_ok(d);
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0].feature_report_byte_length, 0xFFFF);
}

}  // namespace

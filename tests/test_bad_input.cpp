// Odd command lines and image paths as whole processes: devices that are not
// files, very long and non-ASCII paths, empty and repeated option arguments,
// serial numbers no device can have. Each either loads and flashes the right
// file, or fails cleanly without touching the controller.
// POSIX only: it names POSIX devices and paths.
#ifndef _WIN32
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support.h"

#ifdef _WIN32
#include <direct.h>
#define mkdir(path, mode) _mkdir(path)  // mingw's mkdir takes no mode
#endif

namespace {

enum outcome {
    FILE_ERROR,  // the image cannot be read: the controller is never touched
    NO_DEVICE,   // no controller matches
    UPGRADED,    // the image named is flashed
};

const std::string SERIAL = "OV2C7F0012";  // the simulated controller's

// A path of exactly `length` characters under `base`, made of real
// directories when `create` is set.
std::string long_path(const std::string& base, std::size_t length, bool create)
{
    std::string path = base;
    while (path.size() + 201 < length) {
        path += "/" + std::string(200, 'd');
        if (create)
            mkdir(path.c_str(), 0700);
    }
    path += "/";
    path += std::string(length - path.size() - 4, 'f');
    path += ".dfu";
    return path;
}

}  // namespace

TEST(BadInput, PathsOptionArgumentsAndSerials)
{
    const std::vector<unsigned char> image = read_file(BUILTIN_IMAGE_FILE);
    ASSERT_FALSE(image.empty());
    const std::string image_crc = crc_hex(image);

    const std::string good = temp_path("good.dfu");
    write_file(good, image);
    const std::string missing = temp_path("missing.dfu");
    const std::string umlaut = temp_path("Überprüfung-固件-ñ.dfu");
    write_file(umlaut, image);
    const std::string not_utf8 = temp_path("image-\xff\xfe\x80.dfu");
    write_file(not_utf8, image);
    const std::string umlaut_missing = temp_path("fehlt-ä.dfu");

    // Just under the path limit it is an ordinary file; at 4096 characters
    // the system cannot open it at all.
    const std::string tree = temp_path("tree");
    mkdir(tree.c_str(), 0700);
    const std::string deep = long_path(tree, 4000, true);
    write_file(deep, image);
    ASSERT_EQ(deep.size(), 4000u);
    const std::string too_long = long_path(tree, 4096, false);
    ASSERT_EQ(too_long.size(), 4096u);

    const std::string serial_300(300, 'S');

    struct {
        std::vector<std::string> args;
        outcome expect;
        std::string path;  // FILE_ERROR: the path named in the error
    } cases[] = {
        {{"-n", "-i", "/dev/zero"}, FILE_ERROR, "/dev/zero"},
        {{"-n", "-i", "/dev/urandom"}, FILE_ERROR, "/dev/urandom"},
        {{"-n", "-i", too_long}, FILE_ERROR, too_long},
        {{"-n", "-i", deep}, UPGRADED, ""},
        {{"-n", "-i", umlaut}, UPGRADED, ""},
        {{"-n", "-i", not_utf8}, UPGRADED, ""},
        {{"-n", "-i", umlaut_missing}, FILE_ERROR, umlaut_missing},
        // Empty arguments name nothing.
        {{"-n", "-i", ""}, FILE_ERROR, ""},
        {{"-n", "--image="}, FILE_ERROR, ""},
        {{"-n", "-S", ""}, NO_DEVICE, ""},
        {{"-n", "--serial_number="}, NO_DEVICE, ""},
        // A repeated option: the last one counts.
        {{"-n", "-i", missing, "-i", good}, UPGRADED, ""},
        {{"-n", "-i", good, "--image", missing}, FILE_ERROR, missing},
        {{"-n", "-S", "OTHER", "-S", SERIAL}, UPGRADED, ""},
        {{"-n", "-S", SERIAL, "--serial_number", "OTHER"}, NO_DEVICE, ""},
        {{"-n", "-n", "-S", SERIAL, "-n"}, UPGRADED, ""},
        // Longer than any USB string descriptor can be.
        {{"-n", "-S", serial_300}, NO_DEVICE, ""},
        {{"--sim-controller=report", "-n", "-S", serial_300}, NO_DEVICE, ""},
        {{"--sim-controller=tqp", "-f", "-n", "-S", serial_300}, NO_DEVICE, ""},
        {{"--sim-controller=tqp", "-f", "-n", "-S", SERIAL, "-S", SERIAL}, UPGRADED, ""},
    };
    for (const auto& c : cases) {
        std::string label;
        for (const std::string& a : c.args)
            label += (a.size() > 60 ? a.substr(0, 30) + "...(" + std::to_string(a.size()) + ")" : a) + " ";
        const sim_run r = run_sim(c.args);
        switch (c.expect) {
        case FILE_ERROR:
            EXPECT_EQ(r.err, "\nERROR: Could not find file <" + c.path + ">.\n") << label;
            EXPECT_NE(r.out.find("Read file: <" + c.path + ">..."), std::string::npos) << label;
            EXPECT_EQ(r.status, 1) << label;
            EXPECT_NE(r.out.find(FAILURE_BANNER), std::string::npos) << label;
            EXPECT_EQ(r.dump.at("firmware_size"), "4096") << label << ": no device may be touched";
            break;
        case NO_DEVICE:
            EXPECT_NE(r.out.find("No Ovandrel device detected\n"), std::string::npos) << label;
            EXPECT_EQ(r.status, 1) << label;
            EXPECT_NE(r.out.find(FAILURE_BANNER), std::string::npos) << label;
            EXPECT_EQ(r.dump.at("firmware_size"), "4096") << label;
            break;
        case UPGRADED:
            EXPECT_EQ(r.status, 0) << label << "\n" << r.out << r.err;
            EXPECT_NE(r.out.find(SUCCESS_BANNER), std::string::npos) << label;
            EXPECT_EQ(r.dump.at("firmware_crc"), image_crc) << label;
            EXPECT_EQ(r.dump.at("firmware_size"), std::to_string(image.size())) << label;
            break;
        }
        EXPECT_EQ(r.dump.at("open_objects"), "0") << label;
    }

    for (const std::string& p : {good, umlaut, not_utf8, deep})
        unlink(p.c_str());
    for (std::string dir = deep.substr(0, deep.rfind('/')); dir.size() > tree.size();
         dir = dir.substr(0, dir.rfind('/')))
        rmdir(dir.c_str());
    rmdir(tree.c_str());
}

#endif  // _WIN32

// Writes the seed corpora: the answers the simulated controllers give in
// real exchanges, in the input format of each harness.
//   seed_maker DIR   (DIR/tqp_frames, DIR/report, DIR/dfu, DIR/client_info,
//                     DIR/front_end)
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "dfu/dfu_engine.h"
#include "fuzz/fuzz_front_end.h"
#include "report/report_commands.h"
#include "sim/sim_controller.h"
#include "tqp/tqp_branch.h"
#include "tqp/tqp_link.h"

namespace {

// A controller that keeps every transfer result and answer it gives, as
// fuzz_peer reads them, and every TQP frame, as fuzz_tqp_frames reads them.
class recording_controller : public sim_controller {
public:
    std::vector<std::uint8_t> answers, frames;
    // Its index in fuzz_front_end's identity table in run-time mode.
    std::uint8_t runtime_index = 0;

    bool control(int dev, std::uint8_t iface, const std::uint8_t setup[8], std::uint8_t* data,
                 std::uint32_t length, std::uint32_t* done, std::uint32_t* error) override
    {
        const std::size_t at = begin();
        const bool ok = sim_controller::control(dev, iface, setup, data, length, done, error);
        if (setup[0] & 0x80)
            note(ok, *error, data, *done);
        else
            note_out(ok, *error, length, *done);
        end(at);
        last_empty_poll_ = false;
        return ok;
    }
    bool bulk(int dev, std::uint8_t iface, std::uint8_t pipe, std::uint8_t* data,
              std::uint32_t length, std::uint32_t* done, std::uint32_t* error) override
    {
        const std::size_t at = begin();
        const bool ok = sim_controller::bulk(dev, iface, pipe, data, length, done, error);
        if (pipe & 0x80)
            note(ok, *error, data, *done);
        else
            note_out(ok, *error, length, *done);
        end(at);
        last_empty_poll_ = false;
        return ok;
    }
    bool get_feature(int dev, std::uint8_t iface, std::uint8_t* report,
                     std::uint32_t length) override
    {
        const std::size_t at = begin();
        const bool ok = sim_controller::get_feature(dev, iface, report, length);
        // The peer pads a report with zeros, so they need not be kept.
        std::uint32_t used = length - 1;
        while (ok && used > 0 && report[used] == 0)
            --used;
        if (used > 255)  // kept in units of 4 from here
            used = std::min(length - 1, (used + 3) / 4 * 4);
        // A TQP host polls until a frame is there: one empty poll in a row
        // says as much as a thousand, and keeps the seed short.
        const bool empty_poll = ok && used == 0 && tqp_talk_;
        if (!(empty_poll && last_empty_poll_))
            note(ok, 121, report + 1, used);
        end(at);
        last_empty_poll_ = empty_poll;
        if (ok && length == TQP_REPORT_SIZE && report[1] == TQP_MARK_FRAME) {
            frames.push_back(0xFF);
            frames.insert(frames.end(), report + 2, report + 2 + TQP_FRAME_SIZE);
        } else if (ok && length == TQP_REPORT_SIZE) {
            frames.push_back(0);
        }
        return ok;
    }
    bool set_feature(int dev, std::uint8_t iface, const std::uint8_t* report,
                     std::uint32_t length) override
    {
        const std::size_t at = begin();
        const bool ok = sim_controller::set_feature(dev, iface, report, length);
        note_out(ok, 121, length, length);
        end(at);
        tqp_talk_ = length == TQP_REPORT_SIZE && report[1] == TQP_MARK_FRAME;
        last_empty_poll_ = false;
        return ok;
    }

private:
    bool was_attached_ = false;
    bool tqp_talk_ = false;        // the last report written was a TQP frame
    bool last_empty_poll_ = false;  // the last transfer was an empty TQP poll

    std::size_t begin()
    {
        was_attached_ = sim_bus_attached(device);
        return answers.size();
    }
    // A transfer after which the controller left the bus: its selector says
    // so, and the byte after it how it comes back.
    void end(std::size_t at)
    {
        if (!was_attached_ || sim_bus_attached(device) || at >= answers.size())
            return;
        answers[at] |= 0x18;
        std::uint8_t how = mode == SIM_MODE_DFU ? 3 : runtime_index;
        if (never_back)
            how |= 4;
        how |= static_cast<std::uint8_t>(std::min<std::uint32_t>(return_delay_ms / 100, 31) << 3);
        answers.insert(answers.begin() + static_cast<std::ptrdiff_t>(at) + 1, how);
    }
    static std::uint8_t failure(std::uint32_t error) { return error == 31 ? 1 : error == 1167 ? 4 : 0; }
    void note_out(bool ok, std::uint32_t error, std::uint32_t length, std::uint32_t done)
    {
        if (!ok) {
            answers.push_back(failure(error));
        } else if (done < length && done < 256) {
            answers.push_back(6);
            answers.push_back(static_cast<std::uint8_t>(done));
        } else {
            answers.push_back(2);
        }
    }
    void note(bool ok, std::uint32_t error, const std::uint8_t* data, std::uint32_t n)
    {
        if (!ok) {
            answers.push_back(failure(error));
            return;
        }
        if (n > 255) {
            n = std::min<std::uint32_t>(n / 4 * 4, 1020);
            answers.push_back(6);
            answers.push_back(static_cast<std::uint8_t>(n / 4));
        } else {
            answers.push_back(2);
            answers.push_back(static_cast<std::uint8_t>(n));
        }
        answers.insert(answers.end(), data, data + n);
    }
};

// Seeds stay small: the first 4 KiB of a run reach well past its start.
constexpr std::size_t SEED_LIMIT = 4096;

void save(const std::string& path, const std::vector<std::uint8_t>& prefix,
          const std::vector<std::uint8_t>& bytes)
{
    if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(prefix.data(), 1, prefix.size(), f);
        std::fwrite(bytes.data(), 1, std::min(bytes.size(), SEED_LIMIT - prefix.size()), f);
        std::fclose(f);
    }
}

int quiet_dfu(dfu_handle*, int, std::intptr_t) { return 0; }
int quiet_log(const char*, ...) { return 0; }

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2)
        return 2;
    const std::string dir = argv[1];
    std::vector<std::uint8_t> image(600);
    for (std::size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<std::uint8_t>(i * 7);

    // Report protocol: each command on both kinds.
    for (int bridge = 0; bridge < 2; ++bridge) {
        for (int which = 0; which < 5; ++which) {
            sim_bus_reset();
            recording_controller c;
            sim_controller_configure(c, bridge ? "bridge" : "report");
            c.attach();
            const sim_identity id = c.identity(SIM_MODE_RUNTIME);
            report_channel* ch = report_channel_open(id.vendor_id, id.product_id, nullptr);
            if (!ch)
                continue;
            std::vector<char> text(REPORT_READ_INFO_SIZE);
            int status = 0, result = 0;
            switch (which) {
            case 0: report_get_info(ch, &status, text.data()); break;
            case 1: report_read_info(ch, text.data()); break;
            case 2: report_upgrade(ch, image.data(), static_cast<std::int32_t>(image.size()), text.data(), &result, nullptr); break;
            case 3: report_flash_status(ch, static_cast<std::int32_t>(image.size()), &result, text.data(), nullptr); break;
            default: report_reset(ch); break;
            }
            report_channel_close(ch);
            save(dir + "/report/" + (bridge ? "bridge-" : "hid-") + std::to_string(which),
                 {static_cast<std::uint8_t>(bridge), static_cast<std::uint8_t>(which)}, c.answers);
        }
    }

    // DFU: status, upload, and a whole transfer.
    for (int which = 0; which < 3; ++which) {
        sim_bus_reset();
        recording_controller c;
        sim_controller_configure(c, "dfu");
        c.mode = SIM_MODE_DFU;
        c.attach();
        const sim_identity id = c.identity(SIM_MODE_DFU);
        dfu_handle* h = dfu_new(id.vendor_id, id.product_id, 0, nullptr);
        if (!h)
            continue;
        std::vector<std::uint8_t> img(9000, 0x3C);
        dfu_transfer(h, img.data(), which == 1 ? 0 : static_cast<std::int32_t>(img.size()), quiet_dfu);
        dfu_free(h);
        save(dir + "/dfu/transfer-" + std::to_string(which), {static_cast<std::uint8_t>(which == 1 ? 10 : 2)}, c.answers);
    }

    // TQP: a whole upgrade's frames.
    {
        sim_bus_reset();
        recording_controller c;
        sim_controller_configure(c, "tqp");
        c.attach();
        tqp_branch("USB", "seed", image.data(), static_cast<std::int32_t>(image.size()), false, false,
                   nullptr, quiet_log, quiet_log);
        save(dir + "/tqp_frames/upgrade", {}, c.frames);
    }

    // The whole front end, each mode on each transport and device, in
    // fuzz_front_end's input format; -i reads the same image it writes.
    const std::string image_path = dir + "/front_end.image";
    if (!fuzz_write_image(image_path) || !std::freopen("/dev/null", "w", stdout))
        return 1;
    for (int m = 0; m < 4; ++m) {
        for (int t = 0; t < 3; ++t) {
            for (int k = 0; k < FUZZ_KINDS; ++k) {
                sim_bus_reset();
                fuzz_names_before_device();
                recording_controller c;
                sim_controller_configure(c, FUZZ_KIND_NAMES[k]);
                if (k == FUZZ_DFU_MODE_KIND)
                    c.mode = SIM_MODE_DFU;
                c.runtime_index = static_cast<std::uint8_t>(k == FUZZ_DFU_MODE_KIND ? 0 : k);
                c.attach();
                fuzz_names_after_device();
                const auto run = static_cast<std::uint8_t>(m | t << 2);
                fuzz_run_front_end(fuzz_front_end_args(run, image_path, c.serial));
                save(dir + "/front_end/" + std::to_string(m) + "-" + std::to_string(t) + "-" + FUZZ_KIND_NAMES[k],
                     {run, static_cast<std::uint8_t>(k)}, c.answers);
            }
        }
    }
    std::remove(image_path.c_str());
    return 0;
}

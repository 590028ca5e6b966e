// A device on the virtual bus whose every answer comes from the fuzzer's
// input. Each transfer, in either direction, takes a selector byte:
//   bits 0-1  0: it fails (bit 2 set: the device is gone, 1167; else a
//             time-out, 121), 1: it is stalled (31), 2 or 3: it goes through
//   bit 2     going through: an IN length byte counts in units of 4 (to
//             reach whole reports); an OUT transfer takes only as many bytes
//             as the next input byte says
//   bits 3-4  both set: after this transfer the device leaves the bus; the
//             next byte says how it comes back (bits 0-1: which identity of
//             the table, bit 2: never, bits 3-7: after so many 100 ms)
// An IN transfer that goes through then takes a length byte and that many
// bytes. Descriptor requests read the same way when `descriptors` is set.
// Once the input is spent every transfer fails, so each run ends.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "sim/sim_bus.h"
#include "sim/sim_controller.h"

// The descriptors of a simulated controller of this kind, in this mode.
// Costly: harnesses make them once, not per input.
inline sim_identity fuzz_model_identity(const char* kind, sim_mode mode)
{
    sim_controller model;
    sim_controller_configure(model, kind);
    return model.identity(mode);
}

class fuzz_peer : public sim_peer {
public:
    const std::uint8_t* data;
    std::size_t size;
    // Where it leaves the bus to: none, or a table of identities and its id.
    const sim_identity* identities = nullptr;
    std::size_t identity_count = 0;
    int device = -1;
    bool descriptors = false;
    // When a transfer first found the input spent, on the bus clock.
    static constexpr std::uint64_t NOT_SPENT = ~std::uint64_t{0};
    std::uint64_t spent_at_us = NOT_SPENT;
    std::uint64_t taken = 0;  // bytes of OUT transfers that went through

    fuzz_peer(const std::uint8_t* d, std::size_t n) : data(d), size(n) {}

    bool control(int, std::uint8_t, const std::uint8_t setup[8], std::uint8_t* buf,
                 std::uint32_t length, std::uint32_t* done, std::uint32_t* error) override
    {
        if (setup[0] & 0x80)
            return answer(buf, length, done, error);
        return take(length, done, error);
    }
    bool bulk(int, std::uint8_t, std::uint8_t pipe, std::uint8_t* buf, std::uint32_t length,
              std::uint32_t* done, std::uint32_t* error) override
    {
        if (pipe & 0x80)
            return answer(buf, length, done, error);
        return take(length, done, error);
    }
    bool get_feature(int, std::uint8_t, std::uint8_t* report, std::uint32_t length) override
    {
        std::uint32_t done = 0, error = 0;
        if (length == 0 || !answer(report + 1, length - 1, &done, &error))
            return false;
        std::memset(report + 1 + done, 0, length - 1 - done);
        return true;
    }
    bool set_feature(int, std::uint8_t, const std::uint8_t*, std::uint32_t length) override
    {
        std::uint32_t done = 0, error = 0;
        // A feature report goes whole or not at all.
        if (take(length, &done, &error) && done == length)
            return true;
        taken -= done;
        return false;
    }
    bool answers_descriptors() const override { return descriptors; }
    bool descriptor(int, std::uint8_t, std::uint8_t, std::uint8_t* buf, std::uint32_t length,
                    std::uint32_t* done, std::uint32_t* error) override
    {
        return answer(buf, length, done, error);
    }

private:
    std::uint8_t next()
    {
        const std::uint8_t b = data[0];
        ++data;
        --size;
        return b;
    }
    // The selector of a transfer; false (with the error) when it fails.
    bool select(std::uint8_t* sel, std::uint32_t* error)
    {
        if (size == 0) {
            if (spent_at_us == NOT_SPENT)
                spent_at_us = sim_bus_now_us();
            *error = 121;
            return false;
        }
        *sel = next();
        if ((*sel & 0x18) == 0x18 && size > 0)
            leave(next());
        if ((*sel & 3) == 0) {
            *error = *sel & 4 ? 1167 : 121;
            return false;
        }
        if ((*sel & 3) == 1) {
            *error = 31;
            return false;
        }
        return true;
    }
    // Leaves the bus now: the transfer under way still completes, as one
    // whose status stage raced the disconnect would.
    void leave(std::uint8_t how)
    {
        if (!identities || identity_count == 0 || device < 0 || !sim_bus_attached(device))
            return;
        sim_bus_detach(device);
        if (how & 4)
            return;
        sim_bus_attach_after(device, identities[(how & 3) % identity_count], (how >> 3) * 100u);
    }
    bool take(std::uint32_t length, std::uint32_t* done, std::uint32_t* error)
    {
        std::uint8_t sel = 0;
        if (!select(&sel, error))
            return false;
        *done = length;
        if ((sel & 4) && size > 0)
            *done = std::min<std::uint32_t>(length, next());
        taken += *done;
        return true;
    }
    bool answer(std::uint8_t* buf, std::uint32_t length, std::uint32_t* done, std::uint32_t* error)
    {
        std::uint8_t sel = 0;
        if (!select(&sel, error))
            return false;
        std::uint32_t n = size > 0 ? next() : 0;
        if (sel & 4)
            n *= 4;
        n = std::min<std::uint32_t>({n, length, static_cast<std::uint32_t>(size)});
        std::memcpy(buf, data, n);
        data += n;
        size -= n;
        *done = n;
        return true;
    }
};

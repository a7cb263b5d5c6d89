#pragma once
// Traffic that the simulator puts on its line unasked, for the frame monitors to watch
// (--emit). A generator of units: each unit is one or two frames (vx3c: one frame; vx2: a
// 16-byte request and its answer, or a Modbus RTU request and its answer), each frame
// possibly followed by a pause of silence. The transport sends them; this part only
// decides the bytes.
//
//   vx3c: whole vx3c frames from the device's address with 0..120 data bytes; with faults,
//         about one in thirty is cut short (a pause follows it, so that a listener sees
//         where it ends) and one in twenty carries a wrong sum byte.
//   vx2:  16-byte requests to the device's flow transducers with command codes across the
//         answer-length and answer-wait boundaries, each followed at once by its answer of
//         the length the command code gives (72 from 0x40, 8 for 0x30, 32 otherwise); with
//         faults, about one unit in twenty-five is a Modbus RTU request (8 bytes) and answer
//         (9 bytes), each followed by a pause.

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace vx4sim {

struct Emission {
    enum Kind { None, Vx3c, Vx2 } kind = None;
    double rate = 0;     // frames a second; 0 = back to back
    bool faults = true;  // the broken pieces (vx3c) and Modbus frames (vx2) described above
    unsigned seed = 1;
};

// "vx3c:RATE" or "vx2:RATE", RATE a number of frames a second (above 0, at most 100000)
// or "max" for back to back. On error returns false and a message.
bool ParseEmission(const std::string& text, Emission* emission, std::string* error);

struct EmittedFrame {
    std::vector<std::uint8_t> bytes;
    bool pauseAfter = false; // silence follows, long enough for a listener's read to give up
};

class Emitter {
public:
    // address: the device's serial number; transducers: serial numbers of its flow
    // transducers (the vx2 requests go to their BCD addresses; one made up when empty).
    Emitter(const Emission& emission, std::uint32_t address, std::vector<std::uint32_t> transducers);

    std::vector<EmittedFrame> NextUnit();

private:
    std::vector<EmittedFrame> Vx3cUnit();
    std::vector<EmittedFrame> Vx2Unit();
    std::vector<EmittedFrame> ModbusUnit();

    Emission emission_;
    std::uint32_t address_;
    std::vector<std::uint32_t> transducers_;
    std::mt19937 rng_;
    std::size_t next_ = 0;
};

} // namespace vx4sim

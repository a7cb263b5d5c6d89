#pragma once
// Shared pieces of the fuzz targets that feed the core through its link.
//
// ScriptLink plays a device from the fuzzer's bytes: every request written takes one
// answer "chunk" from the input and puts the bytes it describes on the line. A chunk
// starts with a kind byte (low three bits):
//   0..2  a well-formed answer to the request (its address and command, valid check
//         bytes) with a 16-bit data length (modulo 1016, cut at the input's end) and data;
//   3     the same with an 8-bit length;
//   4     a refusal: the next byte as the command code, no data;
//   5     an answer from another address: 4 address bytes, then as kind 3;
//   6     no answer;
//   7     raw bytes: a 16-bit count (modulo 1100), then the bytes as they are.
// Past the end of the input no answer comes, so every exchange ends in its time-out at
// once and a loop that keeps asking ends.
//
// RecordLink is the other side: it answers from the simulator and writes down each
// answer as a chunk, so that a driver run against the simulator yields a seed for the
// same driver. Each target that uses it makes its own seeds when the environment
// variable VX4_FUZZ_MAKE_SEEDS names a folder (see VX4_FUZZ_SEEDS below).

#include "link/Connection.h"
#include "link/Frames.h"
#include "link/Link.h"
#include "link/ResultCodes.h"

#include "Simulator.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vx4fuzz {

using Bytes = std::vector<std::uint8_t>;

// The fuzzer's input read front to back; past its end reads give zeros.
class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::size_t Left() const { return size_ - pos_; }
    // Safe to ask from another thread than the one reading.
    bool Done() const { return pos_ >= size_; }
    std::uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::uint16_t U16()
    {
        const std::uint16_t lo = Byte();
        return std::uint16_t(lo | (Byte() << 8));
    }
    std::uint32_t U32()
    {
        const std::uint32_t lo = U16();
        return lo | (std::uint32_t(U16()) << 16);
    }
    // Up to n bytes (fewer at the end of the input).
    Bytes Take(std::size_t n)
    {
        n = std::min(n, Left());
        Bytes b(data_ + pos_, data_ + pos_ + n);
        pos_ += n;
        return b;
    }
    std::string Rest() { return std::string(reinterpret_cast<const char*>(data_ + pos_), Left()); }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::atomic<std::size_t> pos_{0};
};

inline bool IsShortRequest(const std::uint8_t* req, std::size_t n)
{
    return n >= vx4::ShortOverhead && req[2] == 0xF0 && vx4::ShortFrameSize(vx4::GetU16(req)) == n;
}

inline Bytes ShortFrame(std::uint8_t command, const Bytes& data)
{
    Bytes f(vx4::ShortFrameSize(data.size()));
    vx4::PutU16(f.data(), std::uint16_t(data.size()));
    f[2] = command;
    std::copy(data.begin(), data.end(), f.begin() + vx4::ShortHeaderSize);
    vx4::FillCheckBytes(f.data(), vx4::ShortCovered(data.size()));
    return f;
}

inline Bytes Vx3cFrame(std::uint32_t address, std::uint8_t command, const Bytes& data)
{
    Bytes f(vx4::Vx3cFrameSize(data.size()));
    std::copy(data.begin(), data.end(), f.begin() + vx4::Vx3cHeaderSize);
    vx4::BuildVx3cFrame(f.data(), address, std::uint16_t(data.size()), command);
    return f;
}

// What one chunk put on the line: its kind (-1 past the end of the input) and, for the
// well-formed answers of kinds 0..3, the answer's data bytes.
struct Served {
    int kind = -1;
    Bytes data;
};

// The answer bytes one chunk stands for; the request tells address, command and frame kind.
inline Bytes PlayChunk(Input& in, const std::uint8_t* req, std::size_t n, Served* served = nullptr)
{
    Served ignored;
    Served& out = served ? *served : ignored;
    out = Served{};
    if (in.Done())
        return {};
    const bool isShort = IsShortRequest(req, n);
    const std::uint32_t address = isShort || n < 4 ? 0 : vx4::GetU32(req);
    const std::uint8_t command = isShort ? req[2] : (n > 6 ? req[6] : 0);
    auto frame = [&](std::uint32_t a, std::uint8_t c, const Bytes& data) {
        return isShort ? ShortFrame(c, data) : Vx3cFrame(a, c, data);
    };
    out.kind = in.Byte() & 7;
    switch (out.kind) {
    case 0:
    case 1:
    case 2:
        out.data = in.Take(in.U16() % (vx4::MaxVx3cData + 1));
        return frame(address, command, out.data);
    case 3:
        out.data = in.Take(in.Byte());
        return frame(address, command, out.data);
    case 4:
        return frame(address, in.Byte(), {});
    case 5: {
        const std::uint32_t other = in.U32();
        return frame(other, command, in.Take(in.Byte()));
    }
    case 6:
        return {};
    default:
        return in.Take(in.U16() % 1100);
    }
}

// A link whose line holds what the last requests brought; reads that find too few bytes
// end at once with a time-out. Subclasses decide what a request brings.
class LineLink : public vx4::CLink {
public:
    int Open(bool reopen) override
    {
        open_ = reopen;
        return vx4::OK;
    }
    int Read(std::uint8_t* buf, std::size_t n, std::size_t* received, std::uint32_t) override
    {
        std::size_t k = 0;
        while (k < n && !line_.empty()) {
            buf[k++] = line_.front();
            line_.pop_front();
        }
        *received = k;
        return k < n ? vx4::LINK_TIMEOUT : vx4::OK;
    }
    int Write(const std::uint8_t* buf, std::size_t n, std::size_t* sent) override
    {
        *sent = n;
        const Bytes answer = Answer(buf, n);
        line_.insert(line_.end(), answer.begin(), answer.end());
        return vx4::OK;
    }
    bool IsOpen() const override { return open_; }
    bool Purge(std::uint32_t flags) override
    {
        if (flags & vx4::PURGE_RXCLEAR)
            line_.clear();
        return true;
    }

protected:
    virtual Bytes Answer(const std::uint8_t* request, std::size_t n) = 0;

private:
    std::deque<std::uint8_t> line_;
    bool open_ = false;
};

// What the scripted device served, request by request: the request's bytes and the chunk.
struct ServedAnswer {
    Bytes request;
    Served served;
};
using ServedLog = std::vector<ServedAnswer>;

// A link that answers every request with the next chunk of the input; with a log, every
// request and what it was served is written down.
class ScriptLink : public LineLink {
public:
    explicit ScriptLink(Input& in, ServedLog* log = nullptr) : in_(in), log_(log) {}

protected:
    Bytes Answer(const std::uint8_t* request, std::size_t n) override
    {
        Served served;
        Bytes answer = PlayChunk(in_, request, n, &served);
        if (log_)
            log_->push_back({Bytes(request, request + n), std::move(served)});
        return answer;
    }

private:
    Input& in_;
    ServedLog* log_;
};

// Appends the chunk that ScriptLink turns back into this answer.
inline void RecordChunk(Bytes& seed, const std::uint8_t* req, std::size_t n, const std::optional<Bytes>& answer)
{
    if (!answer || answer->empty()) {
        seed.push_back(6);
        return;
    }
    const Bytes& a = *answer;
    const bool isShort = IsShortRequest(req, n);
    const std::size_t header = isShort ? vx4::ShortHeaderSize : vx4::Vx3cHeaderSize;
    bool wellFormed = a.size() >= header + 2;
    std::size_t length = 0;
    if (wellFormed) {
        length = isShort ? vx4::GetU16(a.data()) : vx4::GetU16(a.data() + 4);
        wellFormed = a.size() == length + header + 2 && vx4::CheckBytesValid(a.data(), length + header) &&
                     (isShort || std::equal(a.begin(), a.begin() + 4, req));
    }
    const std::uint8_t requestCommand = isShort ? req[2] : req[6];
    const std::uint8_t answerCommand = wellFormed ? a[header - 1] : 0;
    if (wellFormed && answerCommand == requestCommand) {
        seed.push_back(0);
        seed.push_back(std::uint8_t(length));
        seed.push_back(std::uint8_t(length >> 8));
        seed.insert(seed.end(), a.begin() + header, a.begin() + header + length);
    } else if (wellFormed && length == 0) {
        seed.push_back(4);
        seed.push_back(answerCommand);
    } else {
        seed.push_back(7);
        seed.push_back(std::uint8_t(a.size()));
        seed.push_back(std::uint8_t(a.size() >> 8));
        seed.insert(seed.end(), a.begin(), a.end());
    }
}

// A link answered by the simulator in-process; every answer is also written to the seed.
class RecordLink : public LineLink {
public:
    RecordLink(vx4sim::Simulator& sim, Bytes& seed) : sim_(sim), seed_(seed) {}

protected:
    Bytes Answer(const std::uint8_t* request, std::size_t n) override
    {
        const std::optional<Bytes> answer = sim_.Answer(Bytes(request, request + n));
        RecordChunk(seed_, request, n, answer);
        return answer.value_or(Bytes{});
    }

private:
    vx4sim::Simulator& sim_;
    Bytes& seed_;
};

// A connection with the given link behind it, open, addressed to device devNo.
inline void OpenWith(vx4::connection& conn, std::uint32_t devNo, vx4::connection::LinkFactory factory)
{
    vx4::ConnectionSettings s = conn.Settings();
    s.dev_nom = devNo;
    s.AuxTmout = 0;
    conn.SetSettings(s);
    conn.SetLinkFactory(std::move(factory));
    conn.Open();
}

// The connection played by the input's chunks (each written down in log when given).
inline void OpenScripted(vx4::connection& conn, std::uint32_t devNo, Input& in, ServedLog* log = nullptr)
{
    OpenWith(conn, devNo,
             [&in, log](const vx4::ConnectionSettings&) { return std::unique_ptr<vx4::CLink>(new ScriptLink(in, log)); });
}

// The connection answered by the simulator; each answer is appended to seed as a chunk.
inline void OpenRecording(vx4::connection& conn, vx4sim::Simulator& sim, Bytes& seed)
{
    OpenWith(conn, sim.Serial(), [&sim, &seed](const vx4::ConnectionSettings&) {
        return std::unique_ptr<vx4::CLink>(new RecordLink(sim, seed));
    });
}

// A violated property of a target: stop with the input that broke it.
inline void Check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

// Every command ends in success, a device code, a link or frame code, or (where the
// command says so) -1.
inline void CheckResultCode(int rc, bool minusOneAllowed = false)
{
    Check(rc == 0 || (rc >= 1 && rc <= 255) || (rc >= 1001 && rc <= 1053) || (minusOneAllowed && rc == -1));
}

inline void WriteSeed(const std::string& dir, const std::string& name, const Bytes& bytes)
{
    const std::string path = dir + "/" + name;
    if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
}

} // namespace vx4fuzz

// A target defines MakeSeeds(dir) and puts VX4_FUZZ_SEEDS after it: run with
// VX4_FUZZ_MAKE_SEEDS=DIR the target writes its seeds there and ends.
#define VX4_FUZZ_SEEDS                                                                             \
    extern "C" int LLVMFuzzerInitialize(int*, char***)                                              \
    {                                                                                               \
        if (const char* dir = std::getenv("VX4_FUZZ_MAKE_SEEDS")) {                                 \
            MakeSeeds(dir);                                                                         \
            std::exit(0);                                                                           \
        }                                                                                           \
        return 0;                                                                                   \
    }

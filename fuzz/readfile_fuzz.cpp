// The file download's block sequence: a scripted device answers the open step and the
// block requests (positions out of order, repeats, short and empty blocks, refusals,
// silence), and ReadFile appends blocks to a memory stream. Whatever the answers, the
// download ends and the progress it reports is never negative. When every answer to a
// block request was a well-formed block, a refusal or silence, what was written is checked
// against the blocks the device served, in order: each block's bytes after its position,
// a block at the position of the one appended just before left out, up to the empty block
// that ends the file (all of them on success, a leading part of them on failure).
// Input: a name length byte and the name, then the answer chunks.
#include "FuzzSupport.h"

#include "link/Vx4prot.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>

namespace {

using namespace vx4;
using vx4fuzz::Bytes;
using vx4fuzz::Check;
using vx4fuzz::Input;

struct Progress {
    int calls = 0;
    static void Report(void* user, float fraction)
    {
        auto* p = static_cast<Progress*>(user);
        Check(fraction >= 0.0f || std::isnan(fraction));
        ++p->calls;
    }
};

// Reads the name from params, then downloads; returns the bytes written.
Bytes Download(connection& conn, Input& params, int* rc)
{
    const std::size_t n = params.Byte();
    const Bytes nameBytes = params.Take(n);
    const std::string name(nameBytes.begin(), nameBytes.end());
    char* buffer = nullptr;
    std::size_t size = 0;
    std::FILE* out = open_memstream(&buffer, &size);
    Progress progress;
    *rc = ReadFile(conn, conn.DeviceNumber(), name, out, &Progress::Report, &progress);
    std::fclose(out);
    Bytes written(buffer, buffer + size);
    std::free(buffer);
    return written;
}

// Downloads name from the simulator and writes the run down as a seed.
void RecordDownload(vx4sim::Simulator& sim, const std::string& name, const char* dir, const std::string& seedName)
{
    Bytes seed = {std::uint8_t(name.size())};
    seed.insert(seed.end(), name.begin(), name.end());
    const Bytes params = seed;
    connection conn;
    vx4fuzz::OpenRecording(conn, sim, seed);
    Input in(params.data(), params.size());
    int rc = 0;
    Download(conn, in, &rc);
    vx4fuzz::WriteSeed(dir, seedName, seed);
}

void MakeSeeds(const char* dir)
{
    vx4sim::Simulator sim;
    int index = 0;
    for (const std::string& name : sim.FileNames()) {
        const auto contents = sim.FileContents(name);
        if (contents && contents->size() <= 8000) // keep the corpus small
            RecordDownload(sim, name, dir, "file" + std::to_string(index++));
    }
    RecordDownload(sim, "none", dir, "missing"); // a file the device does not have
}

// The file the served blocks make, or nothing when an answer to a block request could
// hold a frame the script did not build (raw bytes, another address).
std::optional<Bytes> Expected(const vx4fuzz::ServedLog& log)
{
    Bytes file;
    bool haveAppended = false;
    std::uint32_t lastAppended = 0;
    for (const vx4fuzz::ServedAnswer& a : log) {
        if (a.request.size() <= 6 || a.request[6] != CMD_FILE_BLOCK)
            continue;
        const int kind = a.served.kind;
        if (kind == 5 || kind == 7)
            return std::nullopt;
        if (kind < 0 || kind > 3)
            continue; // silence or a refusal: nothing appended
        const Bytes& d = a.served.data;
        if (d.size() <= 4)
            break; // the end of the file (or a block too short, which ends the download)
        const std::uint32_t position = GetU32(d.data());
        if (haveAppended && position == lastAppended)
            continue;
        file.insert(file.end(), d.begin() + 4, d.end());
        haveAppended = true;
        lastAppended = position;
    }
    return file;
}

} // namespace

VX4_FUZZ_SEEDS


extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Input in(data, size);
    vx4fuzz::ServedLog log;
    connection conn;
    vx4fuzz::OpenScripted(conn, 123456, in, &log);
    int rc = 0;
    const Bytes written = Download(conn, in, &rc);
    vx4fuzz::CheckResultCode(rc);
    Check(written.size() <= size);
    if (const std::optional<Bytes> expected = Expected(log)) {
        if (rc == 0)
            Check(written == *expected);
        else
            Check(written.size() <= expected->size() && std::equal(written.begin(), written.end(), expected->begin()));
    }
    return 0;
}

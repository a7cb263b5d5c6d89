// The file download's block sequence: a scripted device answers the open step and the
// block requests (positions out of order, repeats, short and empty blocks, refusals,
// silence), and ReadFile appends blocks to a memory stream. Whatever the answers, the
// download ends, what it wrote is exactly the data of the blocks it accepted, and the
// progress it reports is never negative.
// Input: a name length byte and the name, then the answer chunks.
#include "FuzzSupport.h"

#include "link/Vx4prot.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

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

} // namespace

VX4_FUZZ_SEEDS

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Input in(data, size);
    connection conn;
    vx4fuzz::OpenScripted(conn, 123456, in);
    int rc = 0;
    const Bytes written = Download(conn, in, &rc);
    vx4fuzz::CheckResultCode(rc);
    // Every byte written came from an accepted block: never more than the input carried.
    Check(written.size() <= size);
    return 0;
}

#pragma once
// Vx4prot: the device command set. Each operation builds one request frame, runs it
// through the connection's exchange and decodes the answer into a plain record. Nothing
// here keeps state; callers serialise sequences of commands themselves.
//
// Every operation returns 0 on success, a link/frame code (1001..1017, see ResultCodes.h),
// a device result code 1..255 when the device refused the command (the answer's command
// byte; 255 when that byte is 0), or -1 (TestClock only). Outputs are written only on
// success unless an operation says otherwise.

#include "link/Vx4Records.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace vx4 {

class connection;

// Command codes.
enum Vx4Command : std::uint8_t {
    CMD_IDENTIFY = 0x01,
    CMD_READ_CLOCK = 0x02,
    CMD_SET_CLOCK = 0x03,
    CMD_SYSTEM_EVENT = 0x04,
    CMD_FILE_OPEN = 0x05,
    CMD_FILE_BLOCK = 0x06,
    CMD_ECHO = 0x08,
    CMD_ITEM_DESCRIPTOR = 0x21,
    CMD_CONFIG_BLOCK = 0x22,
    CMD_CONFIG_SUMMARY = 0x23,
    CMD_READ_VALUES = 0x24,
    CMD_ITEM_TEXT = 0x25,
    CMD_RELAY = 0x26,
    CMD_ARCHIVE_INFO = 0x30,
    CMD_TEST_CLOCK = 0xF0,
};

// Data bytes of the block request of ReadFile.
inline constexpr std::uint8_t FILE_NEXT_BLOCK = 0x5A;
inline constexpr std::uint8_t FILE_REPEAT_BLOCK = 0x00;
// Modes of ReadConfigBlock.
inline constexpr std::uint8_t CONFIG_FIRST_BLOCK = 0;
inline constexpr std::uint8_t CONFIG_NEXT_BLOCK = 1;
inline constexpr std::uint8_t CONFIG_SAME_BLOCK = 2;

inline constexpr std::size_t MaxReadValues = 126;   // 126 x 8 answer bytes fit a frame
inline constexpr std::size_t MaxFileName = 1014;
inline constexpr std::size_t MaxItemText = 1011;
inline constexpr std::size_t MaxRelayPayload = 255;
inline constexpr std::size_t RelayTailBytes = 2;     // sent as 00 00 behind the payload
inline constexpr std::uint32_t RelayAttempts = 4;
inline constexpr std::uint32_t RelayPauseMs = 500;
inline constexpr std::uint32_t FileBlockRepeats = 8;

// Fields of a vx3c frame held in a buffer (request or answer).
inline std::uint16_t FrameLength(const std::uint8_t* frame) { return std::uint16_t(frame[4] | (frame[5] << 8)); }
inline std::uint8_t FrameCommand(const std::uint8_t* frame) { return frame[6]; }
inline const std::uint8_t* FrameData(const std::uint8_t* frame) { return frame + 7; }

// Runs a vx3c request held in a FrameCapacity (1024-byte) buffer: writes the address into
// the request, fills its check bytes (over length + 7 bytes), exchanges it and checks the
// answer's check bytes over the answer's length + 7; a mismatch is 1013 and is not tried
// again. A request length above 1015 is 1001. The answer buffer holds 1024 bytes.
int RunCommand(connection& conn, std::uint32_t address, std::uint8_t* request, std::uint8_t* answer,
               std::uint32_t tries, std::uint32_t waitMs);
// The same with short frames (no address): check bytes over length + 3.
int RunShortCommand(connection& conn, std::uint8_t* request, std::uint8_t* answer, std::uint32_t tries,
                    std::uint32_t waitMs);

// With a cancel flag the tries are made one by one: a flag set before a try, or while it ran,
// ends the identify with OPERATION_CANCELLED (an answer that came meanwhile is dropped).
int Identify(connection& conn, std::uint32_t address, SDevIdent* ident,
             const std::atomic<bool>* cancel = nullptr);
int ReadClock(connection& conn, std::uint32_t address, DeviceClock* clock);
// Sent without awaiting an answer: the result is that of the send.
int SetClock(connection& conn, std::uint32_t address, const DeviceClock& clock);
// An empty answer gives a record of zeros (TaskID 0: no event left).
int ReadSystemEvent(connection& conn, std::uint32_t address, SSysEvent* event);

// Progress of ReadFile: the caller's value and the fraction of the file read so far.
using ProgressCallback = void (*)(void* user, float fraction);
// Downloads a device file and appends its bytes to out (opened by the caller for binary
// writing; the caller deletes the file on a non-zero result). Blocks appended before a
// failure stay in out. A failed block request is repeated with 00 up to 8 times; an answer
// that brings back the block already appended (same position) is not appended again. A
// faulty device that never ends is stopped with 1017: the same block more than 8 times in a
// row, or more bytes than the announced size and one block.
// The fraction is position / size, 1 when the device announces size 0. A name longer
// than 1014 bytes or a null out is 1001; a block answer shorter than its 4-byte position
// is 1017; a failed write to out is LOCAL_WRITE_FAILED, with errno as the write left it.
// When *cancel becomes true the transfer stops with OPERATION_CANCELLED within
// CLink::StopCheckMs, also in the middle of an exchange. A size announced beyond the free
// space of out's file system is refused before the first block request with
// LOCAL_NO_SPACE; *announced (when given) receives the size once the device has announced it.
int ReadFile(connection& conn, std::uint32_t address, const std::string& fileName, std::FILE* out,
             ProgressCallback progress = nullptr, void* user = nullptr,
             const std::atomic<bool>* cancel = nullptr, std::uint32_t* announced = nullptr);

// Echo test with n random bytes (n above 1015 is taken as 1015): 0, a link code, 1015 for
// another command, 1014 for another address, 1 when the bytes or their count differ.
int Echo(connection& conn, std::uint32_t address, std::uint16_t n);

// Copy min(answer length, capacity) data bytes into buf and report that count.
int ReadItemDescriptor(connection& conn, std::uint32_t address, std::uint16_t item, std::uint8_t* buf,
                       std::size_t capacity, std::size_t* length);
int ReadConfigBlock(connection& conn, std::uint32_t address, std::uint8_t mode, std::uint8_t* buf,
                    std::size_t capacity, std::size_t* length);
int ReadConfigSummary(connection& conn, std::uint32_t address, SConfigInfo* info);
// k item numbers, 1 <= k <= 126 (otherwise 1001); values receives k entries in request
// order, zero where the answer carries none.
int ReadValues(connection& conn, std::uint32_t address, const std::uint16_t* items, std::size_t k,
               SItemValue* values);
// Appends the item's text (without its terminating zero, CP1251 bytes) to *text.
int GetItemText(connection& conn, std::uint32_t address, std::uint16_t item, std::string* text);
// Text of at most 1011 bytes (otherwise 1001), CP1251 bytes.
int PutItemText(connection& conn, std::uint32_t address, std::uint16_t item, const std::string& text);

// Relays payload (0..255 bytes, otherwise 1001) to a unit behind the device: up to 4
// attempts, each followed by a 500 ms pause when it failed or brought a 4-byte status
// word. *answerLength is 0 after an exchange error; otherwise min(answer length, capacity)
// bytes are copied, also when a device code or a status word is returned.
int Relay(connection& conn, std::uint32_t address, const std::uint8_t* payload, std::size_t n,
          std::uint8_t* answer, std::size_t capacity, std::size_t* answerLength);

int ReadArchiveInfo(connection& conn, std::uint32_t address, std::uint8_t index, SArchiveInfo* info);

// Clock test: 0 when the test exchange worked, above 0 its error or answer code while the
// device still identified itself, -1 when neither answered (no closing request then).
int TestClock(connection& conn, std::uint32_t address);

// Receives one frame without sending (wait 250 ms, one attempt) into a 1024-byte buffer.
// *count is what arrived (also on failure); *clockMs the MsClock reading taken right after
// the read. A complete frame with wrong check bytes is 1013.
int ReadVx3cFrame(connection& conn, std::uint8_t* buf, std::size_t* count, std::uint32_t* clockMs);

} // namespace vx4

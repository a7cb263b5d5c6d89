#pragma once
// ReportSource: what the document reports read from the device: the device information,
// the configuration items by identifier, the transducer list and a transducer's graduation
// pairs. DeviceReportSource answers from the console's device object; tests give their own.

#include "common/GiGeArray.h"
#include "device/Vx4obj.h"

#include <cstdint>
#include <vector>

namespace vx4 {

class ReportSource {
public:
    virtual ~ReportSource() = default;
    virtual SVX4_Info GetDeviceInfo() = 0;
    virtual SNodeInfo GetNodeInfo(std::uint16_t id) = 0;
    virtual std::vector<std::uint32_t> GetTransducers() = 0;
    // 0, or the failing exchange's code.
    virtual int ReadGraduation(std::uint32_t address, CGiGeArray& table) = 0;
};

class DeviceReportSource final : public ReportSource {
public:
    explicit DeviceReportSource(CVX4Obj& device) : device_(device) {}
    SVX4_Info GetDeviceInfo() override { return device_.GetDeviceInfo(); }
    SNodeInfo GetNodeInfo(std::uint16_t id) override { return device_.GetNodeInfo(id); }
    std::vector<std::uint32_t> GetTransducers() override { return device_.GetTransducers(); }
    int ReadGraduation(std::uint32_t address, CGiGeArray& table) override
    {
        return device_.ReadGraduation(address, table);
    }

private:
    CVX4Obj& device_;
};

} // namespace vx4

#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>

namespace tamrik {

// One reading of this computer's vital signs.
struct TelemetrySample {
  std::int64_t unixMs = 0;
  double cpu = 0;               // busy share of all cores since the last reading, 0..1
  std::uint64_t memTotal = 0;   // bytes
  std::uint64_t memUsed = 0;    // bytes, without buffers and page cache
  double load1 = 0, load5 = 0, load15 = 0;
  std::uint64_t uptimeSeconds = 0;
  std::uint64_t processes = 0;
  double netInPerSecond = 0;    // bytes per second over all non-loopback interfaces
  double netOutPerSecond = 0;
};

// Reads the system through libgtop and keeps a short history. Rates (CPU, network) are
// differences against the previous reading; the first reading has CPU since boot and no
// network rate.
class TelemetrySampler {
 public:
  static constexpr std::size_t kHistory = 90;

  TelemetrySampler();
  ~TelemetrySampler();
  TelemetrySampler(const TelemetrySampler&) = delete;
  TelemetrySampler& operator=(const TelemetrySampler&) = delete;

  // Takes a reading and keeps it; nothing, and no reading kept, when this process is short
  // of file descriptors (the library gives up the whole process when it cannot open a
  // file, so it is not asked then).
  std::optional<TelemetrySample> sample();
  [[nodiscard]] const std::deque<TelemetrySample>& history() const { return history_; }

 private:
  struct Counters {
    std::uint64_t cpuTotal = 0, cpuIdle = 0;
    std::uint64_t netIn = 0, netOut = 0;
    std::int64_t monotonicUs = 0;
  };
  std::optional<Counters> previous_;
  std::deque<TelemetrySample> history_;
};

// {"type":"sample", ...} for one reading; {"type":"history","samples":[...]} for many.
std::string sampleJson(const TelemetrySample& sample);
std::string historyJson(const std::deque<TelemetrySample>& history);

}  // namespace tamrik

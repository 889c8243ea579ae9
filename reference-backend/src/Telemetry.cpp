#include "Telemetry.h"

#include <glib.h>
#include <glibtop.h>
#include <glibtop/close.h>
#include <glibtop/cpu.h>
#include <glibtop/loadavg.h>
#include <glibtop/mem.h>
#include <glibtop/netlist.h>
#include <glibtop/netload.h>
#include <glibtop/proclist.h>

#include "support/GlibHandles.h"
#include <glibtop/uptime.h>

#include <nlohmann/json.hpp>

#include "Descriptors.h"

namespace tamrik {
namespace {

nlohmann::json toJson(const TelemetrySample& s) {
  return {{"t", s.unixMs},
          {"cpu", s.cpu},
          {"memTotal", s.memTotal},
          {"memUsed", s.memUsed},
          {"load", {s.load1, s.load5, s.load15}},
          {"uptime", s.uptimeSeconds},
          {"procs", s.processes},
          {"netIn", s.netInPerSecond},
          {"netOut", s.netOutPerSecond}};
}

// Bytes received and sent over all non-loopback interfaces since they came up.
struct NetworkTotals {
  std::uint64_t in = 0;
  std::uint64_t out = 0;
};

NetworkTotals readNetwork() {
  NetworkTotals totals;
  glibtop_netlist list{};
  const zvui::GlibStrv names(glibtop_get_netlist(&list));
  if (!names) return totals;
  for (guint32 i = 0; i < list.number; ++i) {
    glibtop_netload load{};
    glibtop_get_netload(&load, names.get()[i]);
    if (load.if_flags & (1ULL << GLIBTOP_IF_FLAGS_LOOPBACK)) continue;
    totals.in += load.bytes_in;
    totals.out += load.bytes_out;
  }
  return totals;
}

}  // namespace

TelemetrySampler::TelemetrySampler() { glibtop_init(); }

TelemetrySampler::~TelemetrySampler() { glibtop_close(); }

std::optional<TelemetrySample> TelemetrySampler::sample() {
  // The files of one reading are opened one at a time; eight leave room to spare. Nothing
  // else runs on this thread in between, so the room is still there when they are opened.
  if (!descriptorsToSpare(8)) return std::nullopt;
  TelemetrySample s;
  s.unixMs = g_get_real_time() / 1000;

  Counters now;
  now.monotonicUs = g_get_monotonic_time();
  glibtop_cpu cpu{};
  glibtop_get_cpu(&cpu);
  now.cpuTotal = cpu.total;
  now.cpuIdle = cpu.idle + cpu.iowait;
  const NetworkTotals network = readNetwork();
  now.netIn = network.in;
  now.netOut = network.out;

  // The very first reading has nothing to compare with: it reports the average since boot.
  const Counters since = previous_.value_or(Counters{});
  if (now.cpuTotal > since.cpuTotal && now.cpuIdle >= since.cpuIdle) {
    const auto total = now.cpuTotal - since.cpuTotal;
    const auto idle = now.cpuIdle - since.cpuIdle;
    if (idle <= total) s.cpu = static_cast<double>(total - idle) / static_cast<double>(total);
  }
  if (previous_) {
    const double seconds = static_cast<double>(now.monotonicUs - previous_->monotonicUs) / 1e6;
    // Counters restart when an interface goes away; a negative rate would be nonsense.
    if (seconds > 0 && now.netIn >= previous_->netIn && now.netOut >= previous_->netOut) {
      s.netInPerSecond = static_cast<double>(now.netIn - previous_->netIn) / seconds;
      s.netOutPerSecond = static_cast<double>(now.netOut - previous_->netOut) / seconds;
    }
  }
  previous_ = now;

  glibtop_mem mem{};
  glibtop_get_mem(&mem);
  s.memTotal = mem.total;
  s.memUsed = mem.user;

  glibtop_loadavg load{};
  glibtop_get_loadavg(&load);
  s.load1 = load.loadavg[0];
  s.load5 = load.loadavg[1];
  s.load15 = load.loadavg[2];

  glibtop_uptime uptime{};
  glibtop_get_uptime(&uptime);
  s.uptimeSeconds = static_cast<std::uint64_t>(uptime.uptime);

  glibtop_proclist list{};
  const zvui::GlibMemory<pid_t> pids(glibtop_get_proclist(&list, GLIBTOP_KERN_PROC_ALL, 0));
  s.processes = list.number;

  history_.push_back(s);
  while (history_.size() > kHistory) history_.pop_front();
  return s;
}

std::string sampleJson(const TelemetrySample& sample) {
  auto message = toJson(sample);
  message["type"] = "sample";
  return message.dump();
}

std::string historyJson(const std::deque<TelemetrySample>& history) {
  auto samples = nlohmann::json::array();
  for (const auto& s : history) samples.push_back(toJson(s));
  return nlohmann::json{{"type", "history"}, {"samples", samples}}.dump();
}

}  // namespace tamrik

#pragma once

#include <QString>

#include <string>

// What the load generators share: the catalogue's component names, the ordinary update
// request against it, the check of its reply, and a look at a process's memory.
namespace BenchQuery {

constexpr int CatalogueSize = 200;
constexpr int InventorySize = 30;
// Of the inventory: the first ones are older than the catalogue and get offers, the last
// ones are unknown to it, the rest are up to date.
constexpr int OfferedCount = 10;
constexpr int UnknownCount = 3;

/// The catalogue's i-th component name.
QString componentName(int i);
/// The ordinary update request: an inventory of InventorySize components.
std::string request();
/// True when reply is the whole reply to request().
bool isExpectedReply(const std::string &reply);
/// A field of /proc/PID/status in KiB (VmRSS, VmHWM), -1 if it cannot be read.
long statusKib(int pid, const char *field);

} // namespace BenchQuery

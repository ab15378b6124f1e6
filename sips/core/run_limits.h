#pragma once

#include <cstdint>
#include <string>

namespace sips {

// The one reason given whenever memory runs short, whether a library's allocation failed,
// a thread could not be started or the conversion outgrew its memory budget.
constexpr const char* kNotEnoughMemory = "not enough memory to convert this picture";

// Makes every limit the caller set end a run with one line and status 1 and leave no
// temporary file: a write past the file size limit fails instead of killing the process,
// and a library that aborts or faults for lack of memory ends the run as a failure. Starts
// the watch on the memory budget. Called once, before the image library starts.
void watchLimits();

// The source now being converted, named by the line a run ends with when it must end at once.
void convertingSource(const std::string& path);

// Whether a library's error message says that memory or threads ran out.
bool memoryRanOut(const std::string& message);

// The most memory a conversion may take: half of the least of the machine's memory, its
// control group's limit and the process's address-space limit.
std::uint64_t memoryBudget();

} // namespace sips

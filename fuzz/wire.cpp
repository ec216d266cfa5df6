// A guest's wire, as the host reads it: in pieces of any size, the first
// byte choosing where the input is cut, with the token the seeds carry
// and the standard plan's titles.
#include "suite/plan/scenarios.h"
#include "suite/record/record.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size == 0)
		return 0;
	std::size_t piece = data[0] + 1;
	guest_report g;
	g.token = "fuzz";
	g.bound = 4096;  // within what the fuzzer makes, so a line past it comes too
	for (const scenario &s : standard())
		g.titles.push_back(title(s));
	for (std::size_t at = 1; at < size; at += piece)
		read_wire(g, (const char *)data + at, std::min(piece, size - at));
	return 0;
}

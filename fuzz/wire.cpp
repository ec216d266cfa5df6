// A guest's wire, as the host reads it: in pieces of any size, the first
// byte choosing where the input is cut.
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
	for (std::size_t at = 1; at < size; at += piece)
		read_wire(g, (const char *)data + at, std::min(piece, size - at));
	return 0;
}

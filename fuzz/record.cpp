// A saved record, as --compare reads it.
#include "suite/record/record.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	matrix m;
	std::string why;
	if (read_records(std::string((const char *)data, size), m, why))
		json_matrix(m);  // what was read must write back
	return 0;
}

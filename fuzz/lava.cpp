// A LAVA job's log, as --compare takes the record back from it.
#include "suite/matrix/lava_log.h"
#include "suite/record/record.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	std::string text((const char *)data, size), json, why;
	matrix m;
	if (is_lava_log(text) && record_from_log(text, json, why))
		read_records(json, m, why);
	return 0;
}

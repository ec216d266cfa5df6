// Runs a fuzz target once on each file named, or on each file of each
// folder named: the seed corpus in every build, without libFuzzer.
#include "check/harness/file.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <dirent.h>
#include <string>
#include <sys/stat.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

static bool replay(const std::string &path)
{
	std::string data;
	if (!read_file(path, data)) {
		perror(path.c_str());
		return false;
	}
	LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(data.data()), data.size());
	return true;
}

int main(int argc, char **argv)
{
	int runs = 0;
	for (int i = 1; i < argc; i++) {
		struct stat st;
		if (stat(argv[i], &st) != 0 || !S_ISDIR(st.st_mode)) {
			if (!replay(argv[i]))
				return 1;
			runs++;
			continue;
		}
		DIR *d = opendir(argv[i]);
		if (!d) {
			perror(argv[i]);
			return 1;
		}
		for (dirent *e; (e = readdir(d));)
			if (e->d_name[0] != '.') {
				if (!replay(std::string(argv[i]) + "/" + e->d_name)) {
					closedir(d);
					return 1;
				}
				runs++;
			}
		closedir(d);
	}
	printf("%d inputs, none crashed\n", runs);
	return runs > 0 ? 0 : 1;
}

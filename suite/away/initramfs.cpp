// The initramfs of a kernel check: a newc cpio archive holding the static
// runner as /init, the static probes, the launcher if any, and the
// runner's arguments.
#include "suite/away/initramfs.h"
#include "check/harness/file.h"
#include "suite/away/guest.h"
#include "suite/away/needs.h"
#include "suite/text.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

namespace
{

// The archive, written as it is built.
struct archive {
	FILE *f;
	unsigned ino = 1;
	bool ok = true;
};

void put(archive &a, const std::string &name, unsigned mode, const std::string &data,
         unsigned rmajor = 0, unsigned rminor = 0)
{
	char head[111];
	snprintf(head, sizeof head, "070701%08X%08X%08X%08X%08X%08X%08zX%08X%08X%08X%08X%08zX%08X",
	         a.ino++, mode, 0, 0, 1, 0, data.size(), 0, 0, rmajor, rminor, name.size() + 1, 0);
	static const char zeros[4] = {};
	std::size_t head_pad = (4 - (110 + name.size() + 1) % 4) % 4;
	std::size_t data_pad = (4 - data.size() % 4) % 4;
	a.ok = a.ok && fwrite(head, 1, 110, a.f) == 110 &&
	       fwrite(name.c_str(), 1, name.size() + 1, a.f) == name.size() + 1 &&
	       fwrite(zeros, 1, head_pad, a.f) == head_pad &&
	       fwrite(data.data(), 1, data.size(), a.f) == data.size() &&
	       fwrite(zeros, 1, data_pad, a.f) == data_pad;
}

// A program and the folders above it; names are relative to the root.
void put_program(archive &a, std::vector<std::string> &made, const std::string &name,
                 const std::string &from, std::string &why)
{
	for (std::size_t slash = 0; (slash = name.find('/', slash + 1)) != std::string::npos;) {
		std::string dir = name.substr(0, slash);
		if (std::find(made.begin(), made.end(), dir) == made.end()) {
			put(a, dir, S_IFDIR | 0755, "");
			made.push_back(dir);
		}
	}
	std::string data;
	if (!read_file(from, data)) {
		why = "cannot read " + from + ": " + strerror(errno);
		a.ok = false;
	}
	put(a, name, S_IFREG | 0755, data);
}

}  // namespace

bool make_initramfs(const std::string &path, const std::vector<scenario> &plan, const options &o,
                    const std::string &token, std::string &why)
{
	archive a{fopen(path.c_str(), "wb")};
	if (!a.f) {
		why = "cannot write " + path + ": " + strerror(errno);
		return false;
	}
	std::vector<std::string> made{"dev", "proc", "tmp", GUEST_DIR};
	for (const std::string &dir : made)
		put(a, dir, S_IFDIR | (dir == "tmp" ? 01777 : 0755), "");
	put(a, "dev/console", S_IFCHR | 0600, "", 5, 1);  // init's first descriptors
	put_program(a, made, "init", o.dir + "/probesuite", why);
	for (const scenario &s : plan) {
		std::string name = GUEST_DIR "/" + s.probe;
		if (std::find(made.begin(), made.end(), name) == made.end()) {
			put_program(a, made, name, o.dir + "/" + s.probe, why);
			made.push_back(name);
		}
	}
	std::string args = token + '\0' + "--dir" + '\0' + "/" GUEST_DIR + '\0';
	if (!o.only.empty())
		args += std::string("--only") + '\0' + joined(o.only, ",") + '\0';
	for (const std::string &w : limit_options(o))
		args += w + '\0';
	if (!o.launcher.empty()) {
		// The guest has no search path: the launcher goes where it is here.
		char *full = realpath(o.launcher[0].c_str(), nullptr);
		std::vector<std::string> words = o.launcher;
		if (full)
			words[0] = full;
		free(full);
		put_program(a, made, words[0].substr(1), words[0], why);
		args += std::string("--launcher") + '\0' + shell_words(words) + '\0';
	}
	put(a, GUEST_ARGS, S_IFREG | 0644, args);
	put(a, "TRAILER!!!", 0, "");
	if (fclose(a.f) != 0 && a.ok) {
		why = "cannot write " + path + ": " + strerror(errno);
		return false;
	}
	if (!a.ok && why.empty())
		why = "cannot write " + path;
	return a.ok;
}

// Reading an ELF program's headers: whether the kernel starts it without
// a program interpreter, and which C library it was built with.
#include "suite/record/elf.h"
#include "check/harness/file.h"

#include <cstring>
#include <elf.h>
#include <gnu/libc-version.h>

namespace
{

// The program interpreter path names, in *interp ("" for none); false with
// why when data is no 64-bit ELF program.
bool interpreter(const std::string &data, std::string *interp, std::string &why)
{
	Elf64_Ehdr h;
	if (data.size() < sizeof h || memcmp(data.data(), ELFMAG, SELFMAG) != 0 ||
	    data[EI_CLASS] != ELFCLASS64) {
		why = "it is not a 64-bit ELF program";
		return false;
	}
	memcpy(&h, data.data(), sizeof h);
	interp->clear();
	// Each bound as what is left of the file past an offset, which cannot
	// wrap as a sum would.
	std::size_t size = data.size();
	for (unsigned i = 0; i < h.e_phnum; i++) {
		Elf64_Phdr ph;
		std::size_t at = (std::size_t)i * h.e_phentsize;  // below 2^32
		if (h.e_phentsize < sizeof ph || h.e_phoff > size || at > size - h.e_phoff ||
		    sizeof ph > size - h.e_phoff - at) {
			why = "its program headers are cut short";
			return false;
		}
		memcpy(&ph, data.data() + h.e_phoff + at, sizeof ph);
		if (ph.p_type != PT_INTERP)
			continue;
		const char *path = ph.p_offset < size ? data.data() + ph.p_offset : nullptr;
		if (!path || !memchr(path, 0, size - ph.p_offset)) {
			why = "its interpreter's path runs past the end of what was read";
			return false;
		}
		*interp = path;
	}
	return true;
}

}  // namespace

void libc_of(const std::string &path, platform &p)
{
	std::string data, interp, why;
	if (!read_regular(path, elf_limit, true, data, why) || !interpreter(data, &interp, why))
		return;
	p.static_probes = interp.empty();
	if (interp.find("ld-musl") != std::string::npos ||
	    (interp.empty() && data.find("musl") != std::string::npos)) {
		p.libc = "musl";
		std::size_t at = data.find("/musl-");
		std::size_t end = data.find_first_not_of("0123456789.", at + 6);
		if (at != std::string::npos && end > at + 6)
			p.libc_version = data.substr(at + 6, end - at - 6);
	} else if (interp.find("ld-linux") != std::string::npos ||
	           (interp.empty() && data.find("glibc") != std::string::npos)) {
		p.libc = "glibc";
		if (!interp.empty())  // loads the library this runner loads
			p.libc_version = gnu_get_libc_version();
	}
}

bool is_static(const std::string &path, std::string &why)
{
	std::string data, interp;
	if (!read_regular(path, elf_head_limit, true, data, why)) {
		why = "cannot read it: " + why;
		return false;
	}
	if (!interpreter(data, &interp, why))
		return false;
	if (interp.empty())
		return true;
	why = "it is linked dynamically (interpreter " + interp + ")";
	return false;
}

bool is_uml(const std::string &path)
{
	std::string data, interp, why;
	return read_regular(path, elf_head_limit, true, data, why) &&
	       interpreter(data, &interp, why);
}

// The probes cost what the same programs in C cost: each needs only the C
// library and the loader, and runs nothing before main but the compiler's
// own frame_dummy. Read from each built probe's ELF headers.
#include <cstring>
#include <elf.h>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace
{

// What the dynamic loader and the start-up code see in one executable.
struct elf_facts {
	std::string error;                 // empty when the file was read
	std::vector<std::string> needed;   // DT_NEEDED libraries
	std::vector<std::string> startup;  // functions in .init_array and .preinit_array
	bool symbols = false;              // whether startup holds names (not stripped)
};

struct elf_file {
	std::string bytes;
	const Elf64_Ehdr *eh() const
	{
		return reinterpret_cast<const Elf64_Ehdr *>(bytes.data());
	}
	const Elf64_Shdr *section(std::size_t i) const
	{
		return reinterpret_cast<const Elf64_Shdr *>(bytes.data() + eh()->e_shoff +
		                                            i * eh()->e_shentsize);
	}
	bool inside(std::uint64_t off, std::uint64_t len) const
	{
		return off <= bytes.size() && len <= bytes.size() - off;
	}
	template <class T> const T *at(std::uint64_t off) const
	{
		return reinterpret_cast<const T *>(bytes.data() + off);
	}
	std::string str(const Elf64_Shdr *strtab, std::uint64_t i) const
	{
		if (i >= strtab->sh_size)
			return "?";
		const char *s = at<char>(strtab->sh_offset + i);
		return std::string(s, strnlen(s, strtab->sh_size - i));
	}
};

// The name of the function symbol at addr, or its address in hex.
std::string name_at(const elf_file &f, std::uint64_t addr)
{
	for (std::size_t i = 0; i < f.eh()->e_shnum; i++) {
		const Elf64_Shdr *s = f.section(i);
		if (s->sh_type != SHT_SYMTAB || s->sh_link >= f.eh()->e_shnum)
			continue;
		for (std::uint64_t o = 0; o + sizeof(Elf64_Sym) <= s->sh_size;
		     o += sizeof(Elf64_Sym)) {
			auto *sym = f.at<Elf64_Sym>(s->sh_offset + o);
			if (ELF64_ST_TYPE(sym->st_info) == STT_FUNC && sym->st_value == addr)
				return f.str(f.section(s->sh_link), sym->st_name);
		}
	}
	std::ostringstream hex;
	hex << "0x" << std::hex << addr;
	return hex.str();
}

// In a position-independent executable the linker also leaves each array
// entry's target as the addend of a relative relocation; use that when the
// slot itself holds 0.
std::uint64_t relocated(const elf_file &f, std::uint64_t vaddr, std::uint64_t stored)
{
	if (stored)
		return stored;
	for (std::size_t i = 0; i < f.eh()->e_shnum; i++) {
		const Elf64_Shdr *s = f.section(i);
		if (s->sh_type != SHT_RELA)
			continue;
		for (std::uint64_t o = 0; o + sizeof(Elf64_Rela) <= s->sh_size;
		     o += sizeof(Elf64_Rela)) {
			auto *r = f.at<Elf64_Rela>(s->sh_offset + o);
			if (r->r_offset == vaddr && ELF64_R_TYPE(r->r_info) == R_X86_64_RELATIVE)
				return r->r_addend;
		}
	}
	return 0;
}

elf_facts read_elf(const std::string &path)
{
	elf_facts out;
	elf_file f;
	std::ifstream in(path, std::ios::binary);
	f.bytes.assign(std::istreambuf_iterator<char>(in), {});
	if (f.bytes.size() < sizeof(Elf64_Ehdr) ||
	    std::memcmp(f.bytes.data(), ELFMAG, SELFMAG) != 0 ||
	    f.eh()->e_ident[EI_CLASS] != ELFCLASS64) {
		out.error = "not a 64-bit ELF file";
		return out;
	}
	if (!f.inside(f.eh()->e_shoff, std::uint64_t(f.eh()->e_shnum) * f.eh()->e_shentsize) ||
	    f.eh()->e_shentsize < sizeof(Elf64_Shdr)) {
		out.error = "section headers out of bounds";
		return out;
	}
	for (std::size_t i = 0; i < f.eh()->e_shnum; i++) {
		const Elf64_Shdr *s = f.section(i);
		if (s->sh_type == SHT_NOBITS || !f.inside(s->sh_offset, s->sh_size))
			continue;
		if (s->sh_type == SHT_SYMTAB)
			out.symbols = true;
		if (s->sh_type == SHT_DYNAMIC && s->sh_link < f.eh()->e_shnum) {
			const Elf64_Shdr *strtab = f.section(s->sh_link);
			if (!f.inside(strtab->sh_offset, strtab->sh_size))
				continue;
			for (std::uint64_t o = 0; o + sizeof(Elf64_Dyn) <= s->sh_size;
			     o += sizeof(Elf64_Dyn)) {
				auto *d = f.at<Elf64_Dyn>(s->sh_offset + o);
				if (d->d_tag == DT_NULL)
					break;
				if (d->d_tag == DT_NEEDED)
					out.needed.push_back(f.str(strtab, d->d_un.d_val));
			}
		}
		if (s->sh_type == SHT_INIT_ARRAY || s->sh_type == SHT_PREINIT_ARRAY) {
			for (std::uint64_t o = 0; o + 8 <= s->sh_size; o += 8) {
				std::uint64_t fn = relocated(
				        f, s->sh_addr + o, *f.at<std::uint64_t>(s->sh_offset + o));
				out.startup.push_back(name_at(f, fn));
			}
		}
	}
	return out;
}

std::string joined(const std::vector<std::string> &v)
{
	std::string s;
	for (const std::string &x : v)
		s += (s.empty() ? "" : " ") + x;
	return s;
}

bool only_libc(const std::vector<std::string> &needed)
{
	for (const std::string &n : needed)
		if (n != "libc.so.6" && n != "ld-linux-x86-64.so.2")
			return false;
	return true;
}

// A stripped file has no names: then only the single entry that the
// compiler's start-up file contributes may be there.
bool only_frame_dummy(const elf_facts &e)
{
	if (!e.symbols)
		return e.startup.size() <= 1;
	for (const std::string &n : e.startup)
		if (n != "frame_dummy")
			return false;
	return true;
}

// The reader itself, on this test program: it is C++ with static test
// registrations, so the reader must find libstdc++ and constructors in it,
// or the probe checks below would pass on a reader that finds nothing.
TEST(Deps, ReaderSeesTheCxxRuntimeAndConstructorsOfThisTest)
{
	elf_facts self = read_elf("/proc/self/exe");
	ASSERT_EQ(self.error, "");
	EXPECT_FALSE(only_libc(self.needed)) << joined(self.needed);
	EXPECT_NE(joined(self.needed).find("libstdc++.so.6"), std::string::npos)
	        << joined(self.needed);
	EXPECT_FALSE(only_frame_dummy(self)) << joined(self.startup);
	EXPECT_NE(joined(self.startup).find("_GLOBAL__sub_I_"), std::string::npos)
	        << joined(self.startup);
	EXPECT_NE(read_elf("/proc/self/cmdline").error, "");
}

std::vector<std::string> probe_names()
{
	std::istringstream in(PROBE_NAMES);
	return {std::istream_iterator<std::string>(in), {}};
}

class Probe : public testing::TestWithParam<std::string>
{
};

TEST_P(Probe, NeedsOnlyTheCLibraryAndRunsNoConstructors)
{
	// The sanitizer runtimes are shared libraries with constructors of their own.
	if (SANITIZED)
		GTEST_SKIP() << "the sanitizer builds load their runtimes";
	elf_facts e = read_elf(std::string(PROBE_DIR) + "/" + GetParam());
	ASSERT_EQ(e.error, "");
	EXPECT_NE(joined(e.needed).find("libc.so.6"), std::string::npos) << joined(e.needed);
	EXPECT_TRUE(only_libc(e.needed)) << "needs " << joined(e.needed);
	EXPECT_TRUE(only_frame_dummy(e)) << "runs before main: " << joined(e.startup);
}

INSTANTIATE_TEST_SUITE_P(Deps, Probe, testing::ValuesIn(probe_names()),
                         [](const testing::TestParamInfo<std::string> &p) { return p.param; });

TEST(Deps, AllTenProbesAreChecked)
{
	EXPECT_EQ(probe_names().size(), 10u) << PROBE_NAMES;
}

}  // namespace

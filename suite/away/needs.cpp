#include "suite/away/needs.h"
#include "suite/record/elf.h"
#include "suite/text.h"

void need_static(const std::vector<scenario> &plan, const options &o, const char *where,
                 const char *option)
{
	std::vector<std::string> programs{o.dir + "/probesuite"};
	for (const scenario &s : plan)
		programs.push_back(o.dir + "/" + s.probe);
	std::string why;
	for (const std::string &p : programs)
		if (!is_static(p, why))
			bad_usage(p + " cannot go " + where + ": " +
			          (why + "; " + option +
			           " needs the folder of a static build (see --dir)"));
}

void check_away_usage(const std::vector<scenario> &plan, const options &o)
{
	if (!o.kernel.empty())
		need_static(plan, o, "into the guest", "--kernel");
	if (!o.ssh.empty())
		need_static(plan, o, "to another machine", "--ssh");
}

std::vector<std::string> limit_options(const options &o)
{
	return {"-j", std::to_string(o.jobs), "--time-scale", scale_text(o.time_scale)};
}

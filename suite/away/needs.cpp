#include "suite/away/needs.h"
#include "suite/record/elf.h"
#include "suite/text.h"

namespace
{

std::string cannot_go(const std::string &program, const char *where, const char *option,
                      const std::string &why)
{
	return program + " cannot go " + where + ": " + why + "; " + option +
	       " needs the folder of a static build (see --dir)";
}

bool need_static(const std::vector<scenario> &plan, const options &o, const char *where,
                 const char *option, std::string &why)
{
	std::vector<std::string> programs{o.dir + "/probesuite"};
	for (const scenario &s : plan)
		programs.push_back(o.dir + "/" + s.probe);
	for (const std::string &p : programs)
		if (!is_static(p, why)) {
			why = cannot_go(p, where, option, why);
			return false;
		}
	return true;
}

}  // namespace

bool check_away_usage(const std::vector<scenario> &plan, const options &o, std::string &why)
{
	if (!o.kernel.empty() && !need_static(plan, o, "into the guest", "--kernel", why))
		return false;
	return o.ssh.empty() || need_static(plan, o, "to another machine", "--ssh", why);
}

std::vector<std::string> limit_options(const options &o)
{
	return {"-j", std::to_string(o.jobs), "--time-scale", scale_text(o.time_scale)};
}

// Each record's fields, named once: each_field() lists them in declaration
// order through a structured binding, so a field added to a record without
// its entry here does not compile. Writing and reading both go through it.
//
// A text is a JSON string where its bytes are UTF-8; any other bytes go
// base64-encoded under the key with "_base64" added, so that every byte
// comes back. A text that is no field's (a map's key, a list's word) is
// written encoded as "base64:" and its bytes, and so is one that begins
// so, which would read back as encoded.
#include "suite/record/record.h"
#include "suite/plan/options.h"
#include "suite/text.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

using json = nlohmann::ordered_json;

namespace
{

template <class R, class F>
void each_field(R &r, F &&f) requires std::is_same_v<std::remove_const_t<R>, observed>
{
	auto &[asked, watching, why_not, ran, pid, fd_open, calls, fds_first, fds_exit, children,
	       forked, cpu, hz, pipes] = r;
	f("asked", asked);
	f("watching", watching);
	f("why not", why_not);
	f("ran", ran);
	f("pid", pid);
	f("descriptor open", fd_open);
	f("calls", calls);
	f("descriptors first", fds_first);
	f("descriptors at exit", fds_exit);
	f("children", children);
	f("forked", forked);
	f("cpu ticks", cpu);
	f("ticks per second", hz);
	f("pipes at exit", pipes);
}

template <class R, class F>
void each_field(R &r, F &&f) requires std::is_same_v<std::remove_const_t<R>, run_result>
{
	auto &[setup, pid, exited, code, signal, timed_out, interrupted, seconds, stalled, out, err,
	       out_total, err_total, left, reaped, meddled, out_times, seen, waited, busy] = r;
	f("setup", setup);
	f("pid", pid);
	f("exited", exited);
	f("code", code);
	f("signal", signal);
	f("timed out", timed_out);
	f("interrupted", interrupted);
	f("seconds", seconds);
	f("stalled", stalled);
	f("stdout", out);
	f("stderr", err);
	f("stdout bytes", out_total);
	f("stderr bytes", err_total);
	f("left", left);
	f("reaped", reaped);
	f("meddled", meddled);
	f("stdout times", out_times);
	f("seen", seen);
	f("waited", waited);
	f("busy", busy);
}

// The first of a record's values out of its range, by its field's name
// and with its value; empty when every one is in range.
std::string quoted(const char *key)
{
	return std::string("\"") + key + "\"";
}

std::string pid_fault(const char *key, long pid)
{
	return pid == -1 || pid > 0 ? ""
	                            : quoted(key) + " is " + std::to_string(pid) +
	                                      ", neither a pid nor -1 for none";
}

std::string time_fault(const char *key, double t)
{
	return std::isfinite(t) && t >= 0 ? ""
	                                  : quoted(key) + " is " + json(t).dump() + ", not a time";
}

std::string count_fault(const char *key, long n, long least = 0)
{
	return n >= least ? "" : quoted(key) + " is " + std::to_string(n) + ", not a count";
}

std::string kept_fault(const char *key, const std::string &s)
{
	std::size_t keep = run_opts().keep;
	return s.size() <= keep
	               ? ""
	               : quoted(key) + " holds " + std::to_string(s.size()) +
	                         " bytes, more than the " + std::to_string(keep) + " a run keeps";
}

std::string range_fault(const run_result &r)
{
	std::string code = r.code >= (r.exited ? 0 : -1) && r.code <= 255
	                           ? ""
	                           : quoted("code") + " is " + std::to_string(r.code) +
	                                     ", not an exit status (0 to 255)";
	std::string signal = r.signal >= 0 && r.signal <= 64
	                             ? ""
	                             : quoted("signal") + " is " + std::to_string(r.signal) +
	                                       ", not a signal the kernel has (1 to 64)";
	for (const std::string &why :
	     {pid_fault("pid", r.pid), code, signal, time_fault("seconds", r.seconds),
	      time_fault("stalled", r.stalled), time_fault("waited", r.waited),
	      count_fault("left", r.left), kept_fault("stdout", r.out), kept_fault("stderr", r.err),
	      pid_fault("pid", r.seen.pid), pid_fault("forked", r.seen.forked),
	      count_fault("cpu ticks", r.seen.cpu, -1), count_fault("ticks per second", r.seen.hz)})
		if (!why.empty())
			return why;
	if (r.pid == -1 && (r.exited || r.signal || r.timed_out))
		return quoted("pid") + " is -1, none started, yet the run ended as one that did";
	for (const auto &[pid, status] : r.reaped)
		if (pid <= 0)  // a child reaped has a pid: -1 is none
			return quoted("reaped") + " is " + std::to_string(pid) + ", not a pid";
	for (const auto &[at, t] : r.out_times)
		if (std::string why = time_fault("stdout times", t); !why.empty())
			return why;
	return "";
}

std::string range_fault(const platform &p)
{
	std::string why = count_fault("processors", p.processors);
	return why.empty() ? time_fault("boot seconds", p.boot_seconds) : why;
}

template <class R, class F>
void each_field(R &r, F &&f) requires std::is_same_v<std::remove_const_t<R>, platform>
{
	auto &[kernel, machine, processors, libc, libc_version, static_probes, launcher, image,
	       accelerator, boot_seconds, remote, runner, started, where, limits] = r;
	f("kernel", kernel);
	f("machine", machine);
	f("processors", processors);
	f("libc", libc);
	f("libc version", libc_version);
	f("static", static_probes);
	f("launcher", launcher);
	f("kernel image", image);
	f("accelerator", accelerator);
	f("boot seconds", boot_seconds);
	f("ssh", remote);
	f("runner", runner);
	f("started", started);
	f("where", where);
	f("limits", limits);
}

template <class R, class F>
void each_field(R &r, F &&f) requires std::is_same_v<std::remove_const_t<R>, tally>
{
	auto &[title, probe, got, j, runs, shown, seconds, outcomes, seen] = r;
	auto &[result, why, listed] = j;
	f("title", title);
	f("probe", probe);
	f("outcome", result);
	f("reason", why);
	f("listed reason", listed);
	f("runs", runs);
	f("shown run", shown);
	f("seconds", seconds);
	f("outcomes", outcomes);
	f("values", seen);
	f("run", got);
}

template <class R, class F>
void each_field(R &r, F &&f) requires std::is_same_v<std::remove_const_t<R>, record>
{
	auto &[on, repeat, seconds, scenarios] = r;
	f("platform", on);
	f("repeat", repeat);
	f("seconds", seconds);
	f("scenarios", scenarios);
}

template <class R, class F>
void each_field(R &r, F &&f) requires std::is_same_v<std::remove_const_t<R>, column>
{
	auto &[name, record] = r;
	f("name", name);
	f("record", record);
}

template <class R, class F>
void each_field(R &r, F &&f) requires std::is_same_v<std::remove_const_t<R>, matrix>
{
	auto &[seconds, platforms] = r;
	f("seconds", seconds);
	f("platforms", platforms);
}

template <class T>
concept described = requires(T &t)
{
	each_field(t, [](const char *, auto &) {});
};

// Whether t is written as it is: other texts, not UTF-8 or looking like
// an encoded one, are written encoded.
bool plain(const std::string &t)
{
	return is_utf8(t) && !t.starts_with("base64:");
}

// A text that is no field's value (a map's key, a list's word) as JSON:
// itself where plain, else "base64:" and its bytes encoded.
std::string encoded(const std::string &t)
{
	return plain(t) ? t : "base64:" + base64(t);
}

bool decoded(const std::string &e, std::string &t)
{
	if (!e.starts_with("base64:")) {
		t = e;
		return true;
	}
	return unbase64(e.substr(7), t);
}

// An integer that fits T; why says the range otherwise.
template <class T> bool integer_from(const json &j, T &v, std::string &why)
{
	static_assert(std::is_integral_v<T>);
	using limits = std::numeric_limits<T>;
	bool fits = j.is_number_unsigned() ? j.get<std::uint64_t>() <= (std::uint64_t)limits::max()
	            : j.is_number_integer()
	                    ? !std::is_unsigned_v<T> &&
	                              j.get<std::int64_t>() >= (std::int64_t)limits::min() &&
	                              j.get<std::int64_t>() <= (std::int64_t)limits::max()
	                    : false;
	if (!fits) {
		why = "not an integer from " + std::to_string(limits::min()) + " to " +
		      std::to_string(limits::max());
		return false;
	}
	v = j.get<T>();
	return true;
}

// One value as JSON.
template <class T> json to(const T &v)
{
	if constexpr (described<const T>) {
		json j = json::object();
		each_field(v, [&](const char *key, const auto &x) {
			if constexpr (std::is_same_v<std::decay_t<decltype(x)>, std::string>) {
				if (!plain(x)) {
					j[std::string(key) + "_base64"] = base64(x);
					return;
				}
			}
			j[key] = to(x);
		});
		return j;
	} else if constexpr (std::is_same_v<T, outcome>) {
		return form(v).name;
	} else if constexpr (std::is_same_v<T, std::map<outcome, int>>) {
		json j = json::object();
		for (const auto &[o, n] : v)
			j[form(o).name] = n;
		return j;
	} else if constexpr (std::is_same_v<T, std::map<std::string, int>>) {
		json j = json::object();
		for (const auto &[value, n] : v)
			j[encoded(value)] = n;
		return j;
	} else if constexpr (requires { v.first; }) {
		return json::array({to(v.first), to(v.second)});
	} else if constexpr (std::is_same_v<T, std::string>) {
		return encoded(v);
	} else if constexpr (requires { v.begin(); }) {
		json j = json::array();
		for (const auto &x : v)
			j.push_back(to(x));
		return j;
	} else {
		return v;
	}
}

template <class T> bool from(const json &j, T &v, std::string &why);

// why, said of the field key: `field "key": why`, or `field "key.inner":
// ...` where why names a field inside it. A list of scenarios or platforms
// names its element itself.
template <class T> std::string in_field(const char *key, const std::string &why)
{
	if constexpr (std::is_same_v<T, std::vector<tally>> ||
	              std::is_same_v<T, std::vector<column>>)
		return why;
	if (why.starts_with("field \""))
		return "field \"" + std::string(key) + "." + why.substr(7);
	return "field \"" + std::string(key) + "\": " + why;
}

// Fields records gained after their format was first written: a record
// without one, saved by an earlier runner, reads it as empty.
bool added_later(const char *key)
{
	return strcmp(key, "pipes at exit") == 0;
}

// The field key of j in x, from key_base64 where a text is encoded there.
template <class T> bool field_from(const json &j, const char *key, T &x, std::string &why)
{
	auto f = j.find(key);
	if constexpr (std::is_same_v<T, std::string>) {
		auto e = j.find(std::string(key) + "_base64");
		if (f == j.end() && e != j.end()) {
			if (e->is_string() && unbase64(e->template get<std::string>(), x))
				return true;
			why = std::string("field \"") + key + "_base64\" is not base64";
			return false;
		}
	}
	if (f == j.end() && added_later(key))
		return true;
	if (f == j.end()) {
		why = std::string("no field \"") + key + "\"";
		return false;
	}
	why.clear();
	if (from(*f, x, why))
		return true;
	why = in_field<T>(key, why.empty() ? "not what it should be" : why);
	return false;
}

// Whether v holds what a run can give, beyond each field's type; why says
// what not.
template <class T> bool sound(const T &, std::string &)
{
	return true;
}

bool sound(const run_result &r, std::string &why)
{
	why = range_fault(r);
	return why.empty();
}

bool sound(const platform &p, std::string &why)
{
	why = range_fault(p);
	return why.empty();
}

// why, of the ith element of a list, and its name: "scenario 3
// (ductread): why".
std::string which(const char *what, std::size_t i, const std::string &name, const std::string &why)
{
	return std::string(what) + " " + std::to_string(i + 1) +
	       (name.empty() ? "" : " (" + cut(name) + ")") + ": " + why;
}

bool named(const std::string &name, const char *field, std::string &why)
{
	if (name.find('\0') == std::string::npos)
		return true;
	why = std::string("field \"") + field + "\": a NUL byte in the name";
	return false;
}

bool sound(const tally &t, std::string &why)
{
	if (!named(t.title, "title", why) || !named(t.probe, "probe", why))
		return false;
	if (t.runs < 0 || t.runs > most_count) {
		why = "field \"runs\": " + std::to_string(t.runs) + " is not from 0 to " +
		      std::to_string(most_count);
		return false;
	}
	long long sum = 0;
	for (const auto &[o, n] : t.outcomes)
		if (n < 0 || (sum += n) > t.runs) {
			why = "field \"outcomes\": the counts are more than the " +
			      std::to_string(t.runs) + " runs";
			return false;
		}
	if (!t.outcomes.empty() && sum != t.runs) {
		why = "field \"outcomes\": the counts add up to " + std::to_string(sum) + ", not " +
		      std::to_string(t.runs) + " runs";
		return false;
	}
	for (const auto &[name, counts] : t.seen)
		for (const auto &[value, n] : counts)
			if (n < 0 || n > t.runs) {
				why = "field \"values\": a count is not from 0 to " +
				      std::to_string(t.runs);
				return false;
			}
	return true;
}

bool sound(const record &r, std::string &why)
{
	if (r.repeat < 1 || r.repeat > most_count) {
		why = "field \"repeat\": " + std::to_string(r.repeat) + " is not from 1 to " +
		      std::to_string(most_count);
		return false;
	}
	return true;
}

bool sound(const column &c, std::string &why)
{
	return named(c.name, "name", why);
}

// Says which of a list's elements is wrong: "scenario 3 (ductread): ".
template <class T> void say_which(const json &x, std::size_t i, std::string &why)
{
	if constexpr (std::is_same_v<T, tally> || std::is_same_v<T, column>) {
		const char *key = std::is_same_v<T, tally> ? "title" : "name";
		std::string name;
		auto n = x.is_object() ? x.find(key) : x.end();
		if (n != x.end() && n->is_string())
			decoded(n->template get<std::string>(), name);
		why = which(std::is_same_v<T, tally> ? "scenario" : "platform", i, name, why);
	}
}

// The JSON value as one of ours; false when it is not of its type, with
// why where it says more than that.
template <class T> bool from(const json &j, T &v, std::string &why)
{
	if constexpr (described<T>) {
		if (!j.is_object())
			return false;
		bool ok = true;
		each_field(v, [&](const char *key, auto &x) {
			ok = ok && field_from(j, key, x, why);
		});
		return ok && sound(v, why);
	} else if constexpr (std::is_same_v<T, outcome>) {
		return j.is_string() && outcome_named(j.get<std::string>(), v);
	} else if constexpr (std::is_same_v<T, std::map<outcome, int>> ||
	                     std::is_same_v<T, std::map<std::string, int>>) {
		if (!j.is_object())
			return false;
		for (const auto &[key, n] : j.items()) {
			typename T::key_type k;
			if constexpr (std::is_same_v<T, std::map<outcome, int>>) {
				if (!outcome_named(key, k))
					return false;
			} else if (!decoded(key, k)) {
				return false;
			}
			if (!from(n, v[k], why))
				return false;
		}
		return true;
	} else if constexpr (requires { v.first; }) {
		return j.is_array() && j.size() == 2 && from(j[0], v.first, why) &&
		       from(j[1], v.second, why);
	} else if constexpr (std::is_same_v<T, std::string>) {
		if (!j.is_string() || !decoded(j.get_ref<const std::string &>(), v)) {
			why = "not a text";
			return false;
		}
		return true;
	} else if constexpr (requires { v.begin(); }) {
		if (!j.is_array())
			return false;
		v.clear();
		for (std::size_t i = 0; i < j.size(); i++)
			if (!from(j[i], v.emplace_back(), why)) {
				say_which<typename T::value_type>(j[i], i, why);
				return false;
			}
		return true;
	} else if constexpr (std::is_same_v<T, bool>) {
		if (!j.is_boolean())
			return false;
		v = j.get<bool>();
		return true;
	} else if constexpr (std::is_floating_point_v<T>) {
		if (!j.is_number())
			return false;
		v = j.get<T>();
		return true;
	} else {
		return integer_from(j, v, why);
	}
}

std::string text(const json &j, int indent)
{
	return j.dump(indent, ' ', true, json::error_handler_t::replace);
}

// The record as json_record writes it.
json record_json(const record &r)
{
	json j = {{"format", 1}};
	json body = to(r);
	for (auto &[key, value] : body.items())
		j[key] = std::move(value);
	// For readers that judge nothing themselves: how each probe ended, in
	// words, and its pid as observed; before the raw run.
	for (std::size_t i = 0; i < r.scenarios.size(); i++) {
		const run_result &got = r.scenarios[i].got;
		json &s = j["scenarios"][i];
		json run = std::move(s["run"]);
		s.erase("run");
		s["ended"] = ending(got);
		if (got.seen.pid >= 0)
			s["pid"] = got.seen.pid;
		else
			s["pid not verified"] = got.seen.why_not.empty()
			                                ? "the probe's process was not seen"
			                                : got.seen.why_not;
		s["run"] = std::move(run);
	}
	return j;
}

// Builds a document as the library's own builder does, within two
// bounds: nesting deeper than any record's (a matrix's values nest 10
// deep) is refused as it comes, as the library's copies and comparisons of
// a value recurse through it; and where taking, each scenario of a record
// is taken out of the document as one of ours once it is whole, as the
// library's form of a record takes several times its text.
struct builder : nlohmann::detail::json_sax_dom_callback_parser<json> {
	using base = nlohmann::detail::json_sax_dom_callback_parser<json>;
	enum { deepest = 16 };
	bool taking;
	std::vector<std::string> path;  // each open value's key, "[]" in a list
	std::vector<bool> lists;        // and whether it is a list
	std::string key_now;
	bool closing = false;                       // a scenario
	std::vector<std::vector<tally>> scenarios;  // of each record, in order
	std::string why;

	builder(json &j, bool take)
	    : base(
	              j, [this](int, json::parse_event_t e, json &v) { return kept(e, v); }, false),
	      taking(take)
	{
	}
	// Whether the first n keys of path are those of a record's scenarios.
	bool at_scenarios(std::size_t n) const
	{
		static const std::vector<std::string> one = {"", "scenarios"},
		                                      many = {"", "platforms", "[]", "record",
		                                              "scenarios"};
		for (const std::vector<std::string> *p : {&one, &many})
			if (n == p->size() && std::equal(p->begin(), p->end(), path.begin()))
				return true;
		return false;
	}
	bool open(bool list)
	{
		if (path.size() == deepest) {
			why = "not a record: nested more than " + std::to_string((int)deepest) +
			      " deep";
			return false;
		}
		path.push_back(!lists.empty() && lists.back() ? "[]" : key_now);
		lists.push_back(list);
		if (taking && list && at_scenarios(path.size()))
			scenarios.emplace_back();
		return true;
	}
	// Takes the scenario v out of the document.
	bool kept(json::parse_event_t e, json &v)
	{
		if (e != json::parse_event_t::object_end || !closing)
			return true;
		closing = false;
		std::vector<tally> &list = scenarios.back();
		std::string at;
		if (from(v, list.emplace_back(), at))
			return false;
		say_which<tally>(v, list.size() - 1, at);
		why = path[1] == "platforms" ? which("platform", scenarios.size() - 1, "", at) : at;
		return false;
	}
	bool key(std::string &k)
	{
		key_now = k;
		return base::key(k);
	}
	bool start_object(std::size_t n)
	{
		return open(false) && base::start_object(n);
	}
	bool start_array(std::size_t n)
	{
		return open(true) && base::start_array(n);
	}
	bool end_object()
	{
		closing = taking && path.back() == "[]" && at_scenarios(path.size() - 1);
		base::end_object();
		path.pop_back();
		lists.pop_back();
		return why.empty();
	}
	bool end_array()
	{
		path.pop_back();
		lists.pop_back();
		return base::end_array();
	}
	bool parse_error(std::size_t at, const std::string &, const nlohmann::detail::exception &e)
	{
		std::string what = e.what();
		std::size_t from = what.find("] ");
		// at counts the bytes read, the wrong one with them.
		why = "not JSON at byte " + std::to_string(at ? at - 1 : 0) + ": " +
		      cut(from == std::string::npos ? what : what.substr(from + 2));
		return base::parse_error(at, "", e);
	}
};

// The JSON text from first to last, where taking with each record's
// scenarios taken out into *scenarios; discarded, with why, when it is no
// JSON, nests deeper than a record, or holds a scenario that is none. The
// guest's lines can be read so, too (scenarios null).
json parsed(const char *first, const char *last, std::vector<std::vector<tally>> *scenarios,
            std::string &why)
{
	json j;
	builder b(j, scenarios != nullptr);
	if (json::sax_parse(first, last, &b) && !b.is_errored() && b.why.empty()) {
		if (scenarios)
			*scenarios = std::move(b.scenarios);
		return j;
	}
	why = b.why.empty() ? "not JSON" : b.why;
	return json(json::value_t::discarded);
}

// r with the scenarios the builder took out of its document, each of at
// most r's repeat of runs.
bool taken(record &r, std::vector<tally> &&scenarios, std::string &why)
{
	r.scenarios = std::move(scenarios);
	for (std::size_t i = 0; i < r.scenarios.size(); i++)
		if (r.scenarios[i].runs > r.repeat) {
			why = which("scenario", i, r.scenarios[i].title,
			            "field \"runs\": more than the record's repeat of " +
			                    std::to_string(r.repeat));
			return false;
		}
	return true;
}

// The text as a JSON document of format 1, each record's scenarios taken
// out; discarded when it is none.
json document(const std::string &text, std::vector<std::vector<tally>> &scenarios, std::string &why)
{
	json j = parsed(text.data(), text.data() + text.size(), &scenarios, why);
	if (j.is_discarded())
		return j;
	if (!j.is_object()) {
		why = "not JSON";
		return json(json::value_t::discarded);
	}
	auto format = j.find("format");
	if (format == j.end() || *format != 1) {
		why = "not a record of format 1";
		return json(json::value_t::discarded);
	}
	return j;
}

}  // namespace

std::string json_record(const record &r)
{
	return text(record_json(r), 2) + "\n";
}

bool read_record(const std::string &text, record &r, std::string &why)
{
	std::vector<std::vector<tally>> scenarios;
	json j = document(text, scenarios, why);
	if (j.is_discarded() || !from(j, r, why))
		return false;
	if (scenarios.size() != 1) {
		why = "field \"scenarios\" is given more than once";
		return false;
	}
	return taken(r, std::move(scenarios[0]), why);
}

std::string json_matrix(const matrix &m)
{
	json platforms = json::array();
	for (const column &c : m.platforms)
		platforms.push_back({{"name", to(c.name)}, {"record", record_json(c.r)}});
	json j = {{"format", 1}, {"seconds", m.seconds}, {"platforms", std::move(platforms)}};
	return text(j, 2) + "\n";
}

bool read_records(const std::string &text, matrix &m, std::string &why)
{
	std::vector<std::vector<tally>> scenarios;
	json j = document(text, scenarios, why);
	if (j.is_discarded())
		return false;
	bool many = j.contains("platforms");
	if (!many)
		m.platforms.assign(1, column{});
	if (!(many ? from(j, m, why) : from(j, m.platforms[0].r, why)))
		return false;
	if (scenarios.size() != m.platforms.size()) {
		why = "a platform's field \"scenarios\" is given more than once";
		return false;
	}
	for (std::size_t i = 0; i < scenarios.size(); i++)
		if (!taken(m.platforms[i].r, std::move(scenarios[i]), why)) {
			if (many)
				why = which("platform", i, m.platforms[i].name, why);
			return false;
		}
	if (!many)
		m.seconds = m.platforms[0].r.seconds;
	return true;
}

namespace
{

// A line of the wire: the token first, when there is one.
std::string wire_line(const std::string &token, json body)
{
	json j = json::object();
	if (!token.empty())
		j["token"] = token;
	for (auto &[key, value] : body.items())
		j[key] = std::move(value);
	return text(j, -1) + "\n";
}

// A result for a title: refused when not planned, and a second one or one
// out of range stands for the guest's fault.
void take_result(guest_report &g, const json &j)
{
	std::string title, why;
	if (!field_from(j, "title", title, why)) {
		if (g.refused.empty())
			g.refused = "the guest sent a result with no title";
		return;
	}
	if (std::find(g.titles.begin(), g.titles.end(), title) == g.titles.end()) {
		g.broken = "the guest sent a result for \"" + title + "\", which was not planned";
		return;
	}
	run_result r;
	if (g.results.count(title))
		r.setup = "the guest sent a result for it twice";
	else if (!from(j["run"], r, why)) {
		r = run_result();
		r.setup = "the guest's result does not hold: " +
		          (why.empty() ? std::string("\"run\" is no run") : why);
	}
	g.results[title] = std::move(r);
}

void take_line(guest_report &g, const std::string &line)
{
	std::string why;
	json j = parsed(line.data(), line.data() + line.size(), nullptr, why);
	if (j.is_discarded() || !j.is_object())
		return;  // not the guest's: what a shell or a console put there
	auto token = j.find("token");
	if (token == j.end() || !token->is_string() || *token != g.token || g.token.empty()) {
		if (g.refused.empty())
			g.refused = "the guest's lines do not carry this run's token";
		return;
	}
	if (j.contains("guest") && j.contains("platform")) {
		g.ready = from(j["platform"], g.on, why);
		if (!g.ready)
			g.broken = "the guest's platform does not hold: " + why;
	} else if (j.contains("done")) {
		g.done = true;
	} else if (j.contains("run")) {
		take_result(g, j);
	}
}

}  // namespace

std::string wire_hello(const std::string &token, const platform &p)
{
	return wire_line(token, {{"guest", 1}, {"platform", to(p)}});
}

std::string wire_result(const std::string &token, const std::string &title, const run_result &r)
{
	if (!is_utf8(title))
		return wire_line(token, {{"title_base64", base64(title)}, {"run", to(r)}});
	return wire_line(token, {{"title", to(title)}, {"run", to(r)}});
}

std::string wire_done(const std::string &token)
{
	return wire_line(token, {{"done", true}});
}

// Each stream at worst 6 bytes a byte (a control byte as \u0001; a
// character past ASCII as \uXXXX, 2 or 3 bytes a byte; base64 takes 4 for
// 3), a time for each kept chunk of stdout, which holds a byte at least,
// as [offset,time], at most 36 bytes; the rest (a title, reasons, the
// thousand reaped) well within 1 MiB.
std::size_t wire_line_bound(std::size_t keep)
{
	return keep * 2 * 6 + keep * 36 + ((std::size_t)1 << 20);
}

void read_wire(guest_report &g, const char *data, std::size_t n)
{
	for (std::size_t at = 0; at < n && g.broken.empty();) {
		const char *nl = (const char *)memchr(data + at, '\n', n - at);
		std::size_t part = (nl ? (std::size_t)(nl - data) : n) - at;
		if (g.pending.size() + part > g.bound) {
			g.broken = "the guest sent a line longer than " + std::to_string(g.bound) +
			           " bytes";
			std::string().swap(g.pending);
			return;
		}
		// A long line grows its room once, not by doubling.
		if (g.pending.size() + part > (1 << 20) && g.pending.capacity() < g.bound)
			g.pending.reserve(g.bound);
		g.pending.append(data + at, part);
		at += part;
		if (!nl)
			return;
		take_line(g, g.pending);
		if (g.pending.capacity() > (1 << 20))
			std::string().swap(g.pending);
		else
			g.pending.clear();
		at++;
	}
}

// Each record's fields, named once: each_field() lists them in declaration
// order through a structured binding, so a field added to a record without
// its entry here does not compile. Writing and reading both go through it.
//
// A text is a JSON string where its bytes are UTF-8; any other bytes go
// base64-encoded under the key with "_base64" added, so that every byte
// comes back.
#include "suite/record/record.h"
#include "suite/text.h"

#include <nlohmann/json.hpp>

#include <cstring>
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

const char b64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64(const std::string &s)
{
	std::string e;
	for (std::size_t i = 0; i < s.size(); i += 3) {
		unsigned long v = (unsigned char)s[i] << 16;
		if (i + 1 < s.size())
			v |= (unsigned char)s[i + 1] << 8;
		if (i + 2 < s.size())
			v |= (unsigned char)s[i + 2];
		for (std::size_t k = 0; k < 4; k++)
			e += k <= s.size() - i ? b64[(v >> (18 - 6 * k)) & 63] : '=';
	}
	return e;
}

bool unbase64(const std::string &e, std::string &s)
{
	if (e.size() % 4)
		return false;
	s.clear();
	for (std::size_t i = 0; i < e.size(); i += 4) {
		unsigned long v = 0;
		int pad = 0;
		for (std::size_t k = 0; k < 4; k++) {
			const char *at = e[i + k] ? strchr(b64, e[i + k]) : nullptr;
			if (e[i + k] == '=' && i + 4 == e.size() && k >= 2)
				pad++;
			else if (!at || pad)
				return false;
			v = v << 6 | (at ? at - b64 : 0);
		}
		s += (char)(v >> 16);
		if (pad < 2)
			s += (char)(v >> 8 & 255);
		if (pad < 1)
			s += (char)(v & 255);
	}
	return true;
}

// One value as JSON.
template <class T> json to(const T &v)
{
	if constexpr (described<const T>) {
		json j = json::object();
		each_field(v, [&](const char *key, const auto &x) {
			if constexpr (std::is_same_v<std::decay_t<decltype(x)>, std::string>) {
				if (!is_utf8(x)) {
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
			j[is_utf8(value) ? value : "base64:" + base64(value)] = n;
		return j;
	} else if constexpr (requires { v.first; }) {
		return json::array({to(v.first), to(v.second)});
	} else if constexpr (requires { v.begin(); } && !std::is_same_v<T, std::string>) {
		json j = json::array();
		for (const auto &x : v)
			j.push_back(to(x));
		return j;
	} else {
		return v;
	}
}

// The JSON value as one of ours; false when it is not of its type.
template <class T> bool from(const json &j, T &v, std::string &why)
{
	if constexpr (described<T>) {
		if (!j.is_object())
			return false;
		bool ok = true;
		each_field(v, [&](const char *key, auto &x) {
			if (!ok)
				return;
			auto f = j.find(key);
			if constexpr (std::is_same_v<std::decay_t<decltype(x)>, std::string>) {
				auto e = j.find(std::string(key) + "_base64");
				if (f == j.end() && e != j.end()) {
					ok = e->is_string() &&
					     unbase64(e->template get<std::string>(), x);
					if (!ok)
						why = std::string("\"") + key +
						      "_base64\" is not base64";
					return;
				}
			}
			if (f == j.end()) {
				ok = false;
				why = std::string("no \"") + key + "\"";
			} else if (!from(*f, x, why)) {
				ok = false;
				if (why.empty())
					why = std::string("\"") + key +
					      "\" is not what it should be";
			}
		});
		return ok;
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
			} else if (!key.starts_with("base64:")) {
				k = key;
			} else if (!unbase64(key.substr(7), k)) {
				return false;
			}
			if (!from(n, v[k], why))
				return false;
		}
		return true;
	} else if constexpr (requires { v.first; }) {
		return j.is_array() && j.size() == 2 && from(j[0], v.first, why) &&
		       from(j[1], v.second, why);
	} else if constexpr (requires { v.begin(); } && !std::is_same_v<T, std::string>) {
		if (!j.is_array())
			return false;
		v.clear();
		for (const json &x : j)
			if (!from(x, v.emplace_back(), why))
				return false;
		return true;
	} else if constexpr (std::is_same_v<T, std::string>) {
		if (!j.is_string())
			return false;
		v = j.get<std::string>();
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
		static_assert(std::is_integral_v<T>);
		if (!j.is_number_integer() || (std::is_unsigned_v<T> && !j.is_number_unsigned()))
			return false;
		v = j.get<T>();
		return true;
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

// The text as a JSON document of format 1; discarded when it is none.
json document(const std::string &text, std::string &why)
{
	json j = json::parse(text, nullptr, false);
	if (j.is_discarded() || !j.is_object()) {
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
	json j = document(text, why);
	return !j.is_discarded() && from(j, r, why);
}

std::string json_matrix(const matrix &m)
{
	json platforms = json::array();
	for (const column &c : m.platforms)
		platforms.push_back({{"name", c.name}, {"record", record_json(c.r)}});
	json j = {{"format", 1}, {"seconds", m.seconds}, {"platforms", std::move(platforms)}};
	return text(j, 2) + "\n";
}

bool read_records(const std::string &text, matrix &m, std::string &why)
{
	json j = document(text, why);
	if (j.is_discarded())
		return false;
	if (j.contains("platforms"))
		return from(j, m, why);
	m.platforms.assign(1, column{});
	if (!from(j, m.platforms[0].r, why))
		return false;
	m.seconds = m.platforms[0].r.seconds;
	return true;
}

std::string wire_hello(const platform &p)
{
	return text({{"guest", 1}, {"platform", to(p)}}, -1) + "\n";
}

std::string wire_result(const std::string &title, const run_result &r)
{
	json j = {{"title", to(title)}, {"run", to(r)}};
	if (!is_utf8(title))
		j = {{"title_base64", base64(title)}, {"run", to(r)}};
	return text(j, -1) + "\n";
}

std::string wire_done()
{
	return "{\"done\":true}\n";
}

void read_wire(guest_report &g, const char *data, std::size_t n)
{
	std::size_t from_line = 0;
	g.pending.append(data, n);
	for (std::size_t nl; (nl = g.pending.find('\n', from_line)) != std::string::npos;
	     from_line = nl + 1) {
		json j = json::parse(g.pending.begin() + (long)from_line,
		                     g.pending.begin() + (long)nl, nullptr, false);
		if (j.is_discarded() || !j.is_object())
			continue;
		std::string why, title;
		run_result r;
		if (j.contains("guest") && j.contains("platform"))
			g.ready = from(j["platform"], g.on, why);
		else if (j.contains("done"))
			g.done = true;
		else if (j.contains("run") && from(j["run"], r, why) &&
		         (j.contains("title")
		                  ? from(j["title"], title, why)
		                  : j.contains("title_base64") && j["title_base64"].is_string() &&
		                            unbase64(j["title_base64"].get<std::string>(), title)))
			g.results[title] = std::move(r);
	}
	g.pending.erase(0, from_line);
}

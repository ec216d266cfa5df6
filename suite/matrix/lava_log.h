// A run's record taken back from a LAVA job's log: lava/probes.sh prints
// it on the guest's console as base64 between a line
// "probes-record-begin SIZE" and a line "probes-record-end", and the
// dispatcher logs each console line as one YAML line of its own,
// {"dt": ..., "lvl": "target", "msg": "..."}, "- " in front in a log a
// server keeps.
#ifndef SUITE_MATRIX_LAVA_LOG_H
#define SUITE_MATRIX_LAVA_LOG_H

#include <string>

// Whether text is a LAVA dispatcher's log: its first line that says
// anything is one of its YAML lines.
bool is_lava_log(const std::string &text);

// The record's JSON text from the log's last record; false, with why, for
// a log with none or one that is cut short or not base64. Kernel messages
// ("[   12.345678] ...") spliced into the console's lines, console lines
// the dispatcher split, and lines that are not base64 between the markers
// are passed over; the size on the first marker line tells a record that
// lost a line.
bool record_from_log(const std::string &text, std::string &json, std::string &why);

#endif

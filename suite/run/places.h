// The places a run keeps its things: the runner's own program, and a
// fresh folder for a run's temporary files.
#ifndef SUITE_RUN_PLACES_H
#define SUITE_RUN_PLACES_H

#include <string>

// The runner's program, as /proc/self/exe names it; empty when it cannot
// be read.
std::string own_program();

// A fresh folder, $TMPDIR (else /tmp) /probesuite-what.XXXXXX; empty when
// none can be made, with why: that name, and the error.
std::string make_temp_dir(const std::string &what, std::string &why);

// The folder and the files in it gone.
void remove_temp_dir(const std::string &dir);

#endif

// How the run ends: the signals that stop it, and the exit status once the
// report is out.
#ifndef SUITE_RUN_SIGNALS_H
#define SUITE_RUN_SIGNALS_H

// SIGINT, SIGTERM and SIGHUP, from now on: the first stops the run, a
// second ends the runner at once.
void catch_signals();
// Readable once a signal stopped the run.
int stop_fd();
// The signal that stopped the run; 0 for none.
int stopped();
// The exit status, once the report has (or has not) reached stdout.
int finish(int status, bool stdout_closed);

#endif

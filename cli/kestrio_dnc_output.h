// How kestrio-dnc writes, shared by its commands: standard output and the
// complaints on standard error, JSON to a file or standard output, the exit
// statuses, and how a session's first failure ends a command.  Below the
// command files; it calls none of them.
#pragma once

#include <string>

#include "remote/session.h"

namespace kestrio::cli {

constexpr int kFailed = 1;  // an error reply, an engine error, a wait that ran out
constexpr int kNoHost = 2;  // no connection, no usable answer, a request that cannot be sent
constexpr int kLostDuringChange = 3;  // the connection ended after GO was accepted

// Standard output, written at once: a script or a terminal sees each piece
// as soon as it is printed.
void Print(const std::string& text);
// "kestrio-dnc: TEXT" on standard error.
void Complain(const std::string& text);
// Complains; the status of a command line that cannot be sent.
int Refuse(const std::string& text);

// Writes JSON to `file` whole, or to standard output for "-"; false (told)
// when the file cannot be written.
bool WriteJson(const std::string& file, const std::string& json);

// How a session's first failure ends the command: told once (a failure on
// the connection names the host), and its exit status.
int Report(const remote::Session& session, remote::Fault fault, const std::string& problem);
int Report(const remote::Session& session);

}  // namespace kestrio::cli

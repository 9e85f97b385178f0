#pragma once

class QProcess;

// Ends a test's child process with SIGTERM (SIGKILL if it lingers). True only when it was
// running and ended on its own with status 0; otherwise says why on the test output.
bool StopProcess(QProcess& process, const char* name);

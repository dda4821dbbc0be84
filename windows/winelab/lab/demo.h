// A dial-up walk through the Win32 serial API on the port: what a user's
// program does, each step's answer on one line; 0 when every step answered
// as a modem's port should.
#pragma once

// `port` is a COM name (opened as \\.\COM5) or "interface" (the port's
// COM-port interface path).  skip_cancel leaves out the pending read ended
// by CancelIo (on a kernel that cannot run the driver's cancel path).
int run_demo(const char* port, bool skip_cancel);

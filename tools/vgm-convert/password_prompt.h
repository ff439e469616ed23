// The terminal side of the library's notices for vgm-convert: passwords
// are asked for on the controlling terminal with echo off, two-button
// questions take one key, everything else goes to standard error.
#pragma once

// Installs the handler. With `passwordFile` its first line answers every
// password prompt instead of the terminal. False (and a message) when that
// file cannot be read.
bool prompt_Install(const char *passwordFile);
// Wipes the stored password and removes the handler.
void prompt_Release();
// Call before each file, on the thread that loads it: forgets what the
// thread's last file was answered.
void prompt_BeginFile();
// True when the file asked for a password and none was accepted.
bool prompt_PasswordRefused();

// What macOS's <util.h> declares for pseudo-terminals. The cross toolchain's bundled macOS headers
// lack this file; only scripts/check-macos puts this folder on the include path.
#pragma once

#include <sys/ioctl.h>
#include <sys/types.h>
#include <termios.h>

#ifdef __cplusplus
extern "C" {
#endif
int openpty(int* amaster, int* aslave, char* name, struct termios* termp, struct winsize* winp);
pid_t forkpty(int* amaster, char* name, struct termios* termp, struct winsize* winp);
int login_tty(int fd);
#ifdef __cplusplus
}
#endif

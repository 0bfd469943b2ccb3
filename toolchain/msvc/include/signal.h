// wine's <signal.h>, plus the UCRT's sig_atomic_t, which <csignal> names.
#pragma once

#include_next <signal.h>

typedef int sig_atomic_t;

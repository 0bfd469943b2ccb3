// The UCRT's terminate-handler declarations live in wine's <eh.h>.
#pragma once

#include <eh.h>

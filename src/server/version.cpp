#include "server/version.h"

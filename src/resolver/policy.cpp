#include "resolver/policy.h"

#include "resolver/recursor_policy.h"

#include "resolver/recursor_nameserver.h"

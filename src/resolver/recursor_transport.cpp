#include "resolver/recursor_transport.h"

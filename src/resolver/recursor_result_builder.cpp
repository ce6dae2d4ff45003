#include "resolver/recursor_result_builder.h"

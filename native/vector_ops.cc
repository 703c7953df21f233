// Vector similarity and rank fusion (see vector_ops.h).
#include "vector_ops.h"

// Graph algorithms (see graph_algos.h).
#include "graph_algos.h"

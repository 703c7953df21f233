// Source code analysis (see code_parser.h).
#include "code_parser.h"

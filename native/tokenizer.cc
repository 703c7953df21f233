// Lexical search (see tokenizer.h).
#include "tokenizer.h"

// Vector similarity and rank fusion over float32 data. Built in later steps; the module boundary
// already exposes its entries and converts NumPy arrays into the views of common.h.
#pragma once

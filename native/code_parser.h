// Source code analysis: tree-sitter front end and the symbol, import, call and relationship
// walkers. Built in later steps; the module boundary already exposes its entries.
#pragma once

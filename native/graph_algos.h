// Graph algorithms over directed edge lists of names: PageRank, strongly connected components and
// breadth-first expansions. Built in later steps; the module boundary already exposes its entries.
#pragma once

// orderbench_a: times the bitonic sort of 512 integers in global memory (bitonicSortNaive).
#include "bitonic_sort.cuh"
#include "sort_harness.cuh"

int main() { return run_sort<bitonicSortNaive>("bitonicSortNaive"); }

// orderbench_b: times the bitonic sort of 512 integers in shared memory (bitonicSort).
#include "bitonic_sort.cuh"
#include "sort_harness.cuh"

int main() { return run_sort<bitonicSort>("bitonicSort"); }

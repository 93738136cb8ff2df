// prodbench_a: times one 64 x 64 matrix product with global_accumulator::MatrixMul.
#include "matprod_harness.cuh"
#include "matrix_mul.cuh"

int main() { return run_matrix_product<global_accumulator::MatrixMul>("MatrixMul"); }

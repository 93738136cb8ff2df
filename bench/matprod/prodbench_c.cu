// prodbench_c: times one 64 x 64 matrix product with register_accumulator::MatrixMul.
#include "matprod_harness.cuh"
#include "matrix_mul.cuh"

int main() { return run_matrix_product<register_accumulator::MatrixMul>("MatrixMul"); }

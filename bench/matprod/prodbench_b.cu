// prodbench_b: times one 64 x 64 matrix product with MatrixMulSh.
#include "matprod_harness.cuh"
#include "matrix_mul.cuh"

int main() { return run_matrix_product<MatrixMulSh>("MatrixMulSh"); }

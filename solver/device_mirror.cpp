// Device mirror.
#include "device_mirror.h"

#include <cstdlib>

#include "reporters.h"
#include "run_config.h"

double *hgf, *hfeq, *hbweight, *hbspeed, *hcweight, *hcspeed_x, *hcspeed_y;
double *dgf_one, *dgf_two, *cspeed_x, *cspeed_y, *cweight;

static double *host_array(int count)
{
    double *p = static_cast<double *>(std::calloc(count, sizeof(double)));
    CHK_NULL_RETURN(p);
    return p;
}

// Bytes of a device buffer; the start-up check keeps count below 2^31.
static size_t bytes(int count)
{
    return static_cast<size_t>(count) * sizeof(double);
}

int host_allocation()
{
    hgf = host_array(hkfeq * hnodes);
    hfeq = host_array(hnvelocities);
    hbweight = host_array(hnbasevelocities);
    hbspeed = host_array(hnbasevelocities);
    hcweight = host_array(hnvelocities);
    hcspeed_x = host_array(hnvelocities);
    hcspeed_y = host_array(hnvelocities);
    return 1;
}

int device_allocation()
{
    CHECK_STATUS(cudaMalloc(&dgf_one, bytes(hkfeq * hnodes)));
    CHECK_STATUS(cudaMalloc(&dgf_two, bytes(hnvar * hlnodes)));
    CHECK_STATUS(cudaMalloc(&cspeed_x, bytes(hnvelocities)));
    CHECK_STATUS(cudaMalloc(&cspeed_y, bytes(hnvelocities)));
    CHECK_STATUS(cudaMalloc(&cweight, bytes(hnvelocities)));
    return 0;
}

int copy_to_device()
{
    CHECK_STATUS(cudaMemcpy(dgf_one, hgf, bytes(hkfeq * hnodes), cudaMemcpyHostToDevice));
    CHECK_STATUS(cudaMemcpy(cspeed_x, hcspeed_x, bytes(hnvelocities), cudaMemcpyHostToDevice));
    CHECK_STATUS(cudaMemcpy(cspeed_y, hcspeed_y, bytes(hnvelocities), cudaMemcpyHostToDevice));
    CHECK_STATUS(cudaMemcpy(cweight, hcweight, bytes(hnvelocities), cudaMemcpyHostToDevice));
    return 1;
}

int copy_to_host()
{
    CHECK_STATUS(cudaMemcpy(hgf, dgf_one, bytes(hkfeq * hnodes), cudaMemcpyDeviceToHost));
    return 1;
}

int device_free()
{
    CHECK_STATUS(cudaFree(dgf_one));
    CHECK_STATUS(cudaFree(dgf_two));
    CHECK_STATUS(cudaFree(cspeed_x));
    CHECK_STATUS(cudaFree(cspeed_y));
    CHECK_STATUS(cudaFree(cweight));
    return 1;
}

int host_free()
{
    // (set back to null: a harness may allocate another run after)
    for (double **array : {&hgf, &hfeq, &hbweight, &hbspeed, &hcweight, &hcspeed_x, &hcspeed_y}) {
        std::free(*array);
        *array = nullptr;
    }
    return 1;
}

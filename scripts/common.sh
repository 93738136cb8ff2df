# Shared by the scripts: where nvcc is, and whether a GPU is.
find_nvcc() {
  if command -v nvcc >/dev/null 2>&1; then
    command -v nvcc
  elif [ -x /usr/local/cuda/bin/nvcc ]; then
    echo /usr/local/cuda/bin/nvcc
  fi
}

gpu_present() {
  [ -e /dev/nvidia0 ] || [ -e /dev/nvidiactl ]
}

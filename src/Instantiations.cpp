// The waveform primitives are header-only templates; their instantiations for
// the value types of the readout chain are compiled once here and exported as
// part of the native interface.
#include "SparseConvolution.h"
#include "SparseWaveform.h"

namespace velmora {

template class SparseWaveform<double>;
template class SparseWaveform<unsigned short>;
template class SparseWaveform<int>;

template class SparseConvolution<double>;
template class SparseConvolution<int>;
template SparseWaveform<double> SparseConvolution<double>::convolve<double>(const SparseWaveform<double>&) const;
template SparseWaveform<int>
SparseConvolution<int>::convolve<unsigned short>(const SparseWaveform<unsigned short>&) const;
template SparseWaveform<double> SparseConvolution<double>::convolve<double>(const SparseWaveform<double>&,
                                                                            InterruptCheck) const;
template SparseWaveform<int> SparseConvolution<int>::convolve<unsigned short>(const SparseWaveform<unsigned short>&,
                                                                              InterruptCheck) const;

} // namespace velmora

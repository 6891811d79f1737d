// Kronecker product of two matrices.
#ifndef METERTRACKER_KRON_H
#define METERTRACKER_KRON_H

#include "Matrix.h"

namespace meterTracker {

// out[i * rows(b) + p][j * cols(b) + q] = a[i][j] * b[p][q]. out is reshaped to
// (rows(a) rows(b)) x (cols(a) cols(b)) only when its shape differs (every
// element is written either way). out must be neither a nor b.
void kron(const NumaMathLibrary::Matrix<double>& a, const NumaMathLibrary::Matrix<double>& b,
          NumaMathLibrary::Matrix<double>& out);

}  // namespace meterTracker

#endif

#include "kron.h"

namespace meterTracker {

void kron(const NumaMathLibrary::Matrix<double>& a, const NumaMathLibrary::Matrix<double>& b,
          NumaMathLibrary::Matrix<double>& out) {
    const unsigned rows = a.nRows() * b.nRows();
    const unsigned cols = a.nCols() * b.nCols();
    if (out.nRows() != rows || out.nCols() != cols) out.resize(rows, cols, 0.0);
    for (unsigned i = 0; i < a.nRows(); ++i)
        for (unsigned j = 0; j < a.nCols(); ++j) {
            const double factor = a[i][j];
            for (unsigned p = 0; p < b.nRows(); ++p) {
                double* outRow = out[i * b.nRows() + p] + j * b.nCols();
                const double* bRow = b[p];
                for (unsigned q = 0; q < b.nCols(); ++q) outRow[q] = factor * bRow[q];
            }
        }
}

}  // namespace meterTracker

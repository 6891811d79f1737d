// Shape of a dense row-major matrix; the element storage lives in Matrix<T>.
#ifndef KADENZO_MATRIXBASE_H
#define KADENZO_MATRIXBASE_H

namespace NumaMathLibrary {

class MatrixBase {
public:
    MatrixBase() = default;
    MatrixBase(unsigned rows, unsigned cols) : m_(rows), n_(cols) {}
    virtual ~MatrixBase();

    unsigned nRows() const { return m_; }
    unsigned nCols() const { return n_; }
    unsigned nElems() const { return m_ * n_; }
    bool legalIndices(unsigned row, unsigned col) const { return row < m_ && col < n_; }
    bool isSquare() const { return m_ == n_; }
    bool equalSized(const MatrixBase& other) const { return m_ == other.m_ && n_ == other.n_; }

protected:
    unsigned m_ = 0;  // rows
    unsigned n_ = 0;  // columns
};

}  // namespace NumaMathLibrary

#endif

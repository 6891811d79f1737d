// A small dense matrix over double or std::complex<double>, row-major.
// Plain by design: no views, no expression templates; every two-operand
// operation checks shapes and stops the program on a mismatch.
#ifndef KADENZO_MATRIX_H
#define KADENZO_MATRIX_H

#include <complex>
#include <iomanip>
#include <ostream>
#include <utility>
#include <vector>

#include "MatrixBase.h"
#include "precondition.h"

namespace NumaMathLibrary {

template <typename T>
class Matrix : public MatrixBase {
public:
    Matrix() = default;
    Matrix(const unsigned& rows, const unsigned& cols)
        : MatrixBase(rows, cols), data_(static_cast<std::size_t>(rows) * cols, T(0)) {}
    Matrix(const Matrix& other) = default;
    Matrix(Matrix&& other) noexcept { swapWith(other); }
    Matrix& operator=(const Matrix& other) {
        if (this != &other) {
            m_ = other.m_;
            n_ = other.n_;
            data_ = other.data_;
        }
        return *this;
    }
    Matrix& operator=(Matrix&& other) noexcept {
        if (this != &other) {
            Matrix tmp;
            tmp.swapWith(other);
            swapWith(tmp);
        }
        return *this;
    }
    ~Matrix() override = default;

    // Row access: [row] gives the row's first element, [row][col] the element.
    T* operator[](const unsigned& row_index) {
        TM_PRECONDITION(row_index < nRows(), "row_index < nRows()");
        return data_.data() + static_cast<std::size_t>(row_index) * n_;
    }
    const T* operator[](const unsigned& row_index) const {
        TM_PRECONDITION(row_index < nRows(), "row_index < nRows()");
        return data_.data() + static_cast<std::size_t>(row_index) * n_;
    }

    // Contiguous storage of all elements, row after row.
    T* data() { return data_.data(); }
    const T* data() const { return data_.data(); }

    virtual bool operator==(const Matrix& rh_matrix) const {
        TM_PRECONDITION(equalSized(rh_matrix), "equalSized( rh_matrix )");
        for (std::size_t i = 0; i < data_.size(); ++i)
            if (!(data_[i] == rh_matrix.data_[i])) return false;
        return true;
    }
    virtual bool operator==(const T& value) const {
        for (const T& e : data_)
            if (!(e == value)) return false;
        return true;
    }

    virtual Matrix& operator+=(const Matrix& rh_matrix) {
        TM_PRECONDITION(equalSized(rh_matrix), "equalSized( rh_matrix )");
        for (std::size_t i = 0; i < data_.size(); ++i) data_[i] += rh_matrix.data_[i];
        return *this;
    }
    virtual Matrix& operator-=(const Matrix& rh_matrix) {
        TM_PRECONDITION(equalSized(rh_matrix), "equalSized( rh_matrix )");
        for (std::size_t i = 0; i < data_.size(); ++i) data_[i] -= rh_matrix.data_[i];
        return *this;
    }
    // Element-wise, not the matrix product (that is operator%).
    virtual Matrix& operator*=(const Matrix& rh_matrix) {
        TM_PRECONDITION(equalSized(rh_matrix), "equalSized( rh_matrix )");
        for (std::size_t i = 0; i < data_.size(); ++i) data_[i] *= rh_matrix.data_[i];
        return *this;
    }
    virtual Matrix& operator/=(const Matrix& rh_matrix) {
        TM_PRECONDITION(equalSized(rh_matrix), "equalSized( rh_matrix )");
        for (std::size_t i = 0; i < data_.size(); ++i) data_[i] /= rh_matrix.data_[i];
        return *this;
    }
    virtual Matrix& operator+=(const T& value) {
        for (T& e : data_) e += value;
        return *this;
    }
    virtual Matrix& operator-=(const T& value) {
        for (T& e : data_) e -= value;
        return *this;
    }
    virtual Matrix& operator*=(const T& value) {
        for (T& e : data_) e *= value;
        return *this;
    }
    virtual Matrix& operator/=(const T& value) {
        for (T& e : data_) e /= value;
        return *this;
    }
    virtual Matrix operator+() const { return *this; }
    virtual Matrix operator-() const {
        Matrix result(*this);
        for (T& e : result.data_) e = -e;
        return result;
    }

    // Matrix product.
    virtual Matrix operator%(const Matrix& rh_matrix) const {
        TM_PRECONDITION(n_ == rh_matrix.m_, "n_ == rh_matrix.m_");
        Matrix result(m_, rh_matrix.n_);
        multiplyInto(rh_matrix, result);
        return result;
    }
    virtual void matrixMultiply(const Matrix& rh_matrix, Matrix& result) const {
        TM_PRECONDITION(result.m_ == m_ && result.n_ == rh_matrix.n_,
                        "result.m_ == m_ && result.n_ == rh_matrix.n_");
        TM_PRECONDITION(this != &result, "this != &result");
        // Without this check a mismatched inner size would read past the right operand.
        TM_PRECONDITION(n_ == rh_matrix.m_, "n_ == rh_matrix.m_");
        if (&rh_matrix == &result) {
            const Matrix right(rh_matrix);
            multiplyInto(right, result);
        } else {
            multiplyInto(rh_matrix, result);
        }
    }

    virtual void transpose() {
        if (isSquare()) {
            for (unsigned i = 0; i < m_; ++i)
                for (unsigned j = i + 1; j < n_; ++j) std::swap(at(i, j), at(j, i));
        } else {
            Matrix t = getTranspose();
            swapWith(t);
        }
    }
    virtual void setTranspose(Matrix& transpose_result) const {
        TM_PRECONDITION(transpose_result.n_ == m_ && transpose_result.m_ == n_,
                        "transpose_result.n_ == m_ && transpose_result.m_ == n_");
        for (unsigned i = 0; i < m_; ++i)
            for (unsigned j = 0; j < n_; ++j) transpose_result.at(j, i) = at(i, j);
    }
    virtual Matrix getTranspose() const {
        Matrix t(n_, m_);
        setTranspose(t);
        return t;
    }

    // New shape; the overlapping top-left block keeps its values, the rest is fill.
    virtual void resize(const unsigned& rows, const unsigned& cols, const T& fill) {
        Matrix r(rows, cols);
        for (unsigned i = 0; i < rows; ++i)
            for (unsigned j = 0; j < cols; ++j) r.at(i, j) = (i < m_ && j < n_) ? at(i, j) : fill;
        swapWith(r);
    }

    // Rows start_row..end_row and columns start_col..end_col, bounds inclusive.
    virtual Matrix subMatrix(const unsigned& start_row, const unsigned& end_row,
                             const unsigned& start_col, const unsigned& end_col) const {
        TM_PRECONDITION(legalIndices(start_row, start_col), "legalIndices( start_row, start_col )");
        TM_PRECONDITION(legalIndices(end_row, end_col), "legalIndices( end_row, end_col )");
        TM_PRECONDITION(end_row >= start_row, "end_row >= start_row");
        TM_PRECONDITION(end_col >= start_col, "end_col >= start_col");
        Matrix s(end_row - start_row + 1, end_col - start_col + 1);
        for (unsigned i = 0; i < s.m_; ++i)
            for (unsigned j = 0; j < s.n_; ++j) s.at(i, j) = at(start_row + i, start_col + j);
        return s;
    }

    virtual void print(std::ostream& os, const char* separator, unsigned width) const {
        os << "m: " << m_ << "\tn:" << n_ << std::endl;
        for (unsigned r = 0; r < m_; ++r) {
            os << "(" << std::setw(4) << r + 1 << ") [";
            for (unsigned i = 0; i < n_; ++i) {
                if (i != 0 && i % 10 == 0) os << "*" << i << "* ";
                os << std::setw(static_cast<int>(width)) << at(r, i);
                if (separator)
                    os << separator;
                else
                    os.setstate(std::ios::badbit);  // as inserting a null text does
            }
            os << "\t]" << std::endl;
        }
        os << std::endl;
        os.flush();
    }

private:
    T& at(unsigned i, unsigned j) { return data_[static_cast<std::size_t>(i) * n_ + j]; }
    const T& at(unsigned i, unsigned j) const {
        return data_[static_cast<std::size_t>(i) * n_ + j];
    }
    void swapWith(Matrix& other) noexcept {
        std::swap(m_, other.m_);
        std::swap(n_, other.n_);
        data_.swap(other.data_);
    }
    void multiplyInto(const Matrix& rh_matrix, Matrix& result) const {
        for (unsigned i = 0; i < m_; ++i)
            for (unsigned j = 0; j < rh_matrix.n_; ++j) {
                T sum = T(0);
                for (unsigned k = 0; k < n_; ++k) sum += at(i, k) * rh_matrix.at(k, j);
                result.at(i, j) = sum;
            }
    }

    std::vector<T> data_;
};

template <typename T>
Matrix<T> operator+(const Matrix<T>& lhs, const Matrix<T>& rhs) {
    Matrix<T> result(lhs);
    result += rhs;
    return result;
}

template <typename T>
Matrix<T> operator/(const Matrix<T>& lhs, const T& value) {
    Matrix<T> result(lhs);
    result /= value;
    return result;
}

}  // namespace NumaMathLibrary

#endif

#pragma once
// Core Graphics geometry in points: CGPoint, CGSize, CGRect and the few
// helpers the screens use. Plain values; any thread.

#include <algorithm>

namespace ns {

struct CGPoint {
    double x = 0;
    double y = 0;
    friend bool operator==(const CGPoint&, const CGPoint&) = default;
};

struct CGSize {
    double width = 0;
    double height = 0;
    friend bool operator==(const CGSize&, const CGSize&) = default;
};

struct CGRect {
    CGPoint origin;
    CGSize size;

    double minX() const { return std::min(origin.x, origin.x + size.width); }
    double minY() const { return std::min(origin.y, origin.y + size.height); }
    double maxX() const { return std::max(origin.x, origin.x + size.width); }
    double maxY() const { return std::max(origin.y, origin.y + size.height); }
    double midX() const { return origin.x + size.width / 2; }
    double midY() const { return origin.y + size.height / 2; }
    double width() const { return size.width < 0 ? -size.width : size.width; }
    double height() const { return size.height < 0 ? -size.height : size.height; }
    CGPoint center() const { return {midX(), midY()}; }
    bool isEmpty() const { return size.width == 0 || size.height == 0; }
    // Edges included on the minimum side only, as CGRectContainsPoint.
    bool contains(CGPoint p) const { return p.x >= minX() && p.x < maxX() && p.y >= minY() && p.y < maxY(); }
    bool intersects(const CGRect& o) const {
        return !isEmpty() && !o.isEmpty() && minX() < o.maxX() && o.minX() < maxX() && minY() < o.maxY() &&
               o.minY() < maxY();
    }
    CGRect offsetBy(double dx, double dy) const { return {{origin.x + dx, origin.y + dy}, size}; }
    CGRect insetBy(double dx, double dy) const {
        return {{minX() + dx, minY() + dy}, {width() - 2 * dx, height() - 2 * dy}};
    }
    friend bool operator==(const CGRect&, const CGRect&) = default;
};

inline constexpr CGRect CGRectZero{};

inline CGRect CGRectMake(double x, double y, double width, double height) { return {{x, y}, {width, height}}; }
inline CGPoint CGPointMake(double x, double y) { return {x, y}; }
inline CGSize CGSizeMake(double width, double height) { return {width, height}; }

}  // namespace ns

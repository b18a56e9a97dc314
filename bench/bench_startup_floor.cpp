// Does nothing: linked against the libraries that vantrell loads, it shows what loading them
// alone costs, the least any run of the program can take.
int main() {
    return 0;
}

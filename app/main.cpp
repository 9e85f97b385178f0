// Replaced by the application object's start-up.
int main() {
    return 0;
}

/* Does a program of this build run on this machine? */
int main(void)
{
    return 0;
}
